// SPDX-License-Identifier: MIT
// Start-up, open-document events, the menu bar and Quit, in the running program.

#include "gui_support.h"

#include "app/app.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/qt/qt_internal.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/qt/window.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <thread>

extern char** environ;

using namespace gui_test;

namespace {

// True when `expected` appears in `record` in this order, other entries between them allowed.
::testing::AssertionResult InOrder(const std::vector<std::string>& record,
                                   const std::vector<std::string>& expected)
{
    auto at = record.begin();
    for (const std::string& step : expected) {
        at = std::find(at, record.end(), step);
        if (at == record.end()) return ::testing::AssertionFailure() << "missing or out of order: " << step;
        ++at;
    }
    return ::testing::AssertionSuccess();
}

const auto Number = [](std::uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
};

// One message of the single-instance channel, as a second instance sends it.
std::string Message(const std::vector<std::string>& paths)
{
    std::string body = Number(std::uint32_t(paths.size()));
    for (const std::string& path : paths) body += Number(std::uint32_t(path.size())) + path;
    return Number(std::uint32_t(body.size())) + body;
}

// Sends the bytes, then answers everything read back until the other end closes.
std::string Exchange(const fs::path& socketPath, const std::string& bytes)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    std::string answer = "<no connection>";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        [[maybe_unused]] ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        answer.clear();
        char buffer[256];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, std::size_t(got));
    }
    ::close(fd);
    return answer;
}

// Listens at the path, open to everyone, and answers what each connection sent, in brackets,
// until one sends "end" (or a long while passes, so that a failure cannot hang the test).
std::string ListenAndRecord(const fs::path& socketPath)
{
    const fs::path making = socketPath.string() + ".new";
    int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", making.c_str());
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 8) != 0)
        return "<cannot listen>";
    ::chmod(making.c_str(), 0777);
    ::rename(making.c_str(), socketPath.c_str());
    timeval wait{20, 0};
    ::setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string record;
    for (int fd; (fd = ::accept(server, nullptr, nullptr)) >= 0;) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string got;
        char buffer[256];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, std::size_t(n));
        ::close(fd);
        if (got == "end") break;
        record += "[" + got + "]";
    }
    ::close(server);
    return record;
}

// Runs `work` on a second thread while the event loop goes on; answers its result.
std::string Beside(const std::function<std::string()>& work)
{
    std::string result;
    std::atomic<bool> done = false;
    std::thread thread([&] {
        result = work();
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    thread.join();
    return result;
}

}  // namespace

TEST(SingleInstance, TheRunningInstanceHandlesEachWholeMessageOfItsOwnUserOnce)
{
    TempFolder temp;
    const fs::path first = MakeBundle(temp.Path(), "First"), second = MakeBundle(temp.Path(), "Second");
    const std::string one = Message({first.string()}),
                      big = Number(256u << 20) + Number(1) + Number(100) + "/x";
    const auto size = std::uint32_t(first.string().size());
    const struct {
        const char* label;
        std::string bytes;
        bool asNobody;
        std::string answer;
        bool firstPatched, secondPatched;
    } cases[] = {
        {"two messages on one connection", one + Message({second.string()}), false, "kk", true, true},
        {"a trailing unfinished message", one + Number(20) + "ab", false, "k", true, false},
        {"a message over the limit", big, false, "", false, false},
        {"a message that holds less than it announces",
         Number(4 + 4 + 4 + size) + Number(2) + Number(size) + first.string(), false, "", false, false},
        {"another user", one, true, "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const fs::path& app : {first, second}) WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
        std::string answer;
        fixtures::RecordedCalls calls;
        const int status = RunVeilor(temp / "run", {}, [&] {
            // Another user cannot enter the private folder; a link to the socket beside it stands
            // for whatever road a peer of another uid might find.
            const fs::path reachable = temp / "reachable.socket";
            fs::remove(reachable);
            fs::create_hard_link(temp / "run" / "veilor.socket", reachable);
            ::chmod(reachable.c_str(), 0777);
            auto send = [&] { return Exchange(reachable, c.bytes); };
            answer = Beside([&] { return c.asNobody ? fixtures::RunAsNobody(send) : send(); });
            EXPECT_TRUE(WaitUntil(
                [&] { return Patched(first) == c.firstPatched && Patched(second) == c.secondPatched; }));
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(Patched(first), c.firstPatched);
        EXPECT_EQ(Patched(second), c.secondPatched);
        const std::vector<std::string> opened = calls.Calls("OpenDocument ");
        EXPECT_EQ(std::count(opened.begin(), opened.end(), first.string()), c.firstPatched ? 1 : 0);
    }
}

TEST(SingleInstance, ASecondInstanceNeverTalksToAnotherUsersSocketOrFolder)
{
    TempFolder temp;
    const fs::path own = temp / "run", shared = temp / "tmp", attackers = temp / "attacker";
    for (const fs::path& folder : {own, shared, attackers}) fs::create_directories(folder);
    fs::permissions(own, fs::perms::owner_all);
    fs::permissions(shared, fs::perms::all);
    fs::permissions(attackers, fs::perms::all);
    const std::string secret = (temp / "My-Secret-Project.app").string();
    const struct {
        const char* label;
        bool runtimeDirSet;
    } cases[] = {
        // Another user's socket put in our own folder: the peer's uid gives it away.
        {"another user's socket in the runtime folder", true},
        // No runtime folder: the private folder under the temporary one was made by another user.
        {"another user's folder where ours should be", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path socketPath =
            c.runtimeDirSet ? own / "veilor.socket"
                            : shared / ("veilor-" + std::to_string(::geteuid())) / "veilor.socket";
        fs::remove(own / "veilor.socket");
        if (c.runtimeDirSet)
            setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", shared.c_str(), 1);
        const fs::path place = c.runtimeDirSet ? attackers / "veilor.socket" : socketPath;
        std::string heard;
        std::thread attacker([&] {
            heard = fixtures::RunAsNobody([&] {
                if (!c.runtimeDirSet) ::mkdir(socketPath.parent_path().c_str(), 0700);
                return ListenAndRecord(place);
            });
        });
        for (int i = 0; i < 3000 && !fs::exists(place); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!fs::exists(place)) {
            attacker.join();
            FAIL() << heard;
        }
        if (c.runtimeDirSet) fs::rename(place, socketPath);
        EXPECT_FALSE(HandToRunningInstance({secret}));
        if (!c.runtimeDirSet) {
            ListenForOtherInstances();
            StopListening();
        }
        EXPECT_EQ(Exchange(socketPath, "end"), "");  // still the attacker's socket
        attacker.join();
        EXPECT_EQ(heard, c.runtimeDirSet ? "[]" : "");  // connected, saw the peer, said nothing
    }
    unsetenv("TMPDIR");
}

TEST(StartUp, RunsInItsFixedOrderOpensTheGivenDocumentsAndQuitFinalisesInOrder)
{
    TempFolder temp;
    fixtures::RecordedCalls calls;
    const fs::path bundle = MakeBundle(temp.Path(), "Sample");
    const fs::path document = temp / "notes.txt";
    WriteBytes(document, "plain text\n");
    const std::string openBundle = "OpenDocument " + bundle.string(),
                      openDocument = "OpenDocument " + document.string();
    bool quitEnabled = false;
    const int status = RunVeilor(temp / "run", {bundle.string(), document.string()}, [&] {
        EXPECT_TRUE(MainQtWindow() && MainQtWindow()->isVisible());
        EXPECT_TRUE(WaitUntil([&] { return bool(InOrder(calls.Calls(), {openBundle, openDocument})); }));
        QAction* quit = FindAction(MainQtWindow(), "Quit");
        ASSERT_NE(quit, nullptr);
        OpenAndCloseMenu(MainQtWindow(), "&File");
        quitEnabled = quit->isEnabled();
        quit->trigger();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(quitEnabled);
    EXPECT_TRUE(Patched(bundle));
    EXPECT_EQ(ReadBytes(document), "plain text\n");
    EXPECT_TRUE(InOrder(calls.Calls(),
                        {"RuntimeInit", "file type: register text", "AcceptFileDrop special/application",
                         "RuntimeRun", openBundle, openDocument, "menu FileQuit", "RuntimeRun returned",
                         "RuntimeReleaseWindows", "file type: deregister text", "RuntimeExit"}));
    EXPECT_EQ(getAppObject(), nullptr);
    EXPECT_EQ(RuntimeGetImplicitWindow("MainWindow.MainWindow"), nullptr);
}

TEST(StartUp, AFailedStepEndsTheRunWithStatusOneBeforeTheLoop)
{
    TempFolder temp;
    fs::create_directories(temp / "run");
    fs::permissions(temp / "run", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
    char name[] = "veilor";
    char* argv[] = {name, nullptr};
    RuntimeInit(1, argv, environ);
    RuntimeStartupError("The property-list plug-in lacks an operation.");
    bool looped = false;
    QTimer::singleShot(0, qApp, [&] {
        looped = true;
        RuntimeQuit();
    });
    RuntimeRun();
    EXPECT_FALSE(looped);
    EXPECT_EQ(RuntimeExit(), 1);
}

// Cmd shortcuts show as Ctrl; a recompute enables Open, Quit and About whatever they were before, and nothing
// else.
TEST(MenuBar, ShowsLinuxShortcutsAndARecomputeEnablesOpenQuitAndAboutOnly)
{
    TempFolder temp;
    const int status = RunVeilor(temp / "run", {}, [&] {
        const MenuBarRef& bar = Use(App()).MenuBar();
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        for (bool before : {true, false}) {
            SCOPED_TRACE(before ? "from enabled" : "from disabled");
            for (std::size_t i = 0; i < bar->Count(); ++i)
                for (std::size_t j = 0; j < bar->Item(i)->Count(); ++j)
                    bar->Item(i)->Item(j)->SetEnabled(before);
            OpenAndCloseMenu(window, before ? "&Edit" : "&Help");
            QStringList enabled;
            for (QAction* title : window->menuBar()->actions())
                for (QAction* action : title->menu()->actions())
                    if (action->isEnabled() && !action->isSeparator()) enabled << action->text();
            EXPECT_EQ(enabled, QStringList({"Open...", "Quit", "About Veilor..."}));
        }
        EXPECT_EQ(FindAction(window, "Open...")->shortcut().toString(QKeySequence::PortableText), "Ctrl+O");
        EXPECT_EQ(FindAction(window, "Quit")->shortcut().toString(QKeySequence::PortableText), "Ctrl+Q");
    });
    EXPECT_EQ(status, 0);
}
