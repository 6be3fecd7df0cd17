// SPDX-License-Identifier: MIT
// Start-up, open-document events, the menu bar and Quit, in the running program.

#include "gui_support.h"

#include "app/app.h"
#include "framework/nil_object.h"
#include "framework/qt/qt_internal.h"
#include "framework/qt/runtime.h"
#include "framework/qt/window.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <map>
#include <thread>
#include <typeinfo>

extern char** environ;

using namespace gui_test;

namespace {

// True when `expected` appears in `record` in this order, other entries between them allowed.
::testing::AssertionResult InOrder(const std::vector<std::string>& record, const std::vector<std::string>& expected)
{
    auto at = record.begin();
    for (const std::string& step : expected) {
        at = std::find(at, record.end(), step);
        if (at == record.end()) return ::testing::AssertionFailure() << "missing or out of order: " << step;
        ++at;
    }
    return ::testing::AssertionSuccess();
}

std::string Number(std::uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// One message of the single-instance channel, as a second instance sends it.
std::string Message(const std::vector<std::string>& paths)
{
    std::string body = Number(std::uint32_t(paths.size()));
    for (const std::string& path : paths) body += Number(std::uint32_t(path.size())) + path;
    return Number(std::uint32_t(body.size())) + body;
}

int Connect(const fs::path& socketPath)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends the bytes, then answers everything read back until the other end closes.
std::string Exchange(const fs::path& socketPath, const std::string& bytes)
{
    int fd = Connect(socketPath);
    if (fd < 0) return "<no connection>";
    [[maybe_unused]] ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[256];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, std::size_t(got));
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
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server, 8) != 0)
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
    WaitUntil([&] { return done.load(); });
    thread.join();
    return result;
}

}  // namespace

TEST(SingleInstance, TheRunningInstanceHandlesEachWholeMessageOfItsOwnUserOnce)
{
    TempFolder temp;
    const fs::path first = MakeBundle(temp.Path(), "First"), second = MakeBundle(temp.Path(), "Second");
    const std::string big = Number(256u << 20) + Number(1) + Number(100) + "/x";
    const struct {
        const char* label;
        std::string bytes;
        bool asNobody;
        std::string answer;
        bool firstPatched, secondPatched;
    } cases[] = {
        {"two messages on one connection", Message({first.string()}) + Message({second.string()}), false, "kk", true, true},
        {"a trailing unfinished message", Message({first.string()}) + Number(20) + "ab", false, "k", true, false},
        {"a message over the limit", big, false, "", false, false},
        {"a message that holds less than it announces",
         Number(4 + 4 + 4 + std::uint32_t(first.string().size())) + Number(2) + Number(std::uint32_t(first.string().size())) + first.string(),
         false, "", false, false},
        {"another user", Message({first.string()}), true, "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const fs::path& app : {first, second}) WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
        std::string answer;
        fixtures::RecordedCalls calls;
        RunVeilor(temp / "run", {}, [&] {
            // Another user cannot enter the private folder; a link to the socket beside it stands
            // for whatever road a peer of another uid might find.
            const fs::path reachable = temp / "reachable.socket";
            fs::remove(reachable);
            fs::create_hard_link(temp / "run" / "veilor.socket", reachable);
            ::chmod(reachable.c_str(), 0777);
            auto send = [&] { return Exchange(reachable, c.bytes); };
            answer = Beside([&] { return c.asNobody ? fixtures::RunAsNobody(send) : send(); });
            WaitUntil([&] { return Patched(first) == c.firstPatched && Patched(second) == c.secondPatched; });
        });
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
        const fs::path socketPath = c.runtimeDirSet ? own / "veilor.socket"
                                                    : shared / ("veilor-" + std::to_string(::geteuid())) / "veilor.socket";
        fs::remove(own / "veilor.socket");
        if (c.runtimeDirSet) setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
        else unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", shared.c_str(), 1);
        const fs::path place = c.runtimeDirSet ? attackers / "veilor.socket" : socketPath;
        std::string heard;
        std::thread attacker([&] {
            heard = fixtures::RunAsNobody([&] {
                if (!c.runtimeDirSet) ::mkdir(socketPath.parent_path().c_str(), 0700);
                return ListenAndRecord(place);
            });
        });
        for (int i = 0; i < 3000 && !fs::exists(place); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    const std::string openBundle = "OpenDocument " + bundle.string(), openDocument = "OpenDocument " + document.string();
    bool quitEnabled = false;
    const int status = RunVeilor(temp / "run", {bundle.string(), document.string()}, [&] {
        EXPECT_TRUE(MainQtWindow() && MainQtWindow()->isVisible());
        WaitUntil([&] { return bool(InOrder(calls.Calls(), {openBundle, openDocument})); });
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
    EXPECT_TRUE(InOrder(calls.Calls(), {
        "RuntimeInit", "RuntimeInitExternalClasses",
        "file type: register text", "file type: register special/application",
        "file type: register resource", "file type: register special/folder",
        "Application.MenuBar", "RuntimeRegisterAppObject",
        "_AddMenuHandler FileOpen", "_AddMenuHandler AppleAboutVeilor",
        "Window MainWindow.MainWindow", "Layout", "_SetProperties MainWindow.MainWindow",
        "CreateControls", "_AddControl StaticText1", "_SetProperties StaticText1",
        "_AddControl StaticText2", "_SetProperties StaticText2",
        "AddMenuHandlers", "Open", "AcceptFileDrop special/application",
        "RuntimeRun", openBundle, openDocument, "menu FileQuit", "RuntimeQuit", "RuntimeRun returned", "RuntimeReleaseWindows",
        "file type: deregister text", "file type: deregister special/application",
        "file type: deregister resource", "file type: deregister special/folder",
        "RuntimeExit",
    }));
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

TEST(MenuBar, HoldsTheTwelveRowsShownWithLinuxShortcutsAndARecomputeEnablesOpenQuitAndAboutOnly)
{
    struct Row {
        const char* menu;  // "" for the menu bar itself
        const char* name;
        const std::type_info& kind;
        const char* text;
        const char* shortcut;
        bool autoEnable;
        const char* keys;  // as the window shows them; nullptr for titles and separators
        bool enabled;      // after a recompute
    };
    const Row rows[] = {
        {"", "FileMenu", typeid(MenuItem), "&File", "", false, nullptr, false},
        {"FileMenu", "FileOpen", typeid(MenuItem), "Open...", "Cmd+O", false, "Ctrl+O", true},
        {"FileMenu", "UntitledMenu1", typeid(MenuItem), "-", "", true, nullptr, false},
        {"FileMenu", "FileQuit", typeid(QuitMenuItem), "Quit", "Cmd+Q", true, "Ctrl+Q", true},
        {"", "EditMenu", typeid(MenuItem), "&Edit", "", false, nullptr, false},
        {"EditMenu", "EditUndo", typeid(MenuItem), "&Undo", "Cmd+Z", false, "Ctrl+Z", false},
        {"EditMenu", "UntitledMenu0", typeid(MenuItem), "-", "", false, nullptr, false},
        {"EditMenu", "EditCut", typeid(MenuItem), "Cu&t", "Cmd+X", false, "Ctrl+X", false},
        {"EditMenu", "EditCopy", typeid(MenuItem), "&Copy", "Cmd+C", false, "Ctrl+C", false},
        {"EditMenu", "EditPaste", typeid(MenuItem), "&Paste", "Cmd+V", false, "Ctrl+V", false},
        {"EditMenu", "EditClear", typeid(MenuItem), "Clear", "", false, "", false},
        {"EditMenu", "AppleAboutVeilor", typeid(AppleMenuItem), "About Veilor...", "", false, "", true},
    };
    TempFolder temp;
    RunVeilor(temp / "run", {}, [&] {
        const MenuBarRef& bar = Use(App()).MenuBar();
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        std::map<std::string, std::size_t> nextIndex;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            MenuItemRef menu = row.menu[0] ? bar->Child(row.menu) : std::static_pointer_cast<MenuItem>(bar);
            ASSERT_NE(menu, nullptr);
            MenuItemRef item = menu->Item(nextIndex[row.menu]++);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->Name(), row.name);
            EXPECT_EQ(typeid(*item), row.kind);
            EXPECT_EQ(item->Text(), row.text);
            EXPECT_EQ(item->KeyboardShortcut(), row.shortcut);
            EXPECT_EQ(item->AutoEnable(), row.autoEnable);
            EXPECT_EQ(bar->_Lookup(row.name), item);
        }
        EXPECT_EQ(bar->Count() + bar->Child("FileMenu")->Count() + bar->Child("EditMenu")->Count(), 12u);
        for (const char* unknown : {"FileSave", "fileopen", ""}) EXPECT_EQ(bar->_Lookup(unknown), nullptr) << unknown;
        EXPECT_EQ(bar->Child("FileOpen"), nullptr);  // Child looks one level down only

        std::vector<std::pair<QString, QStringList>> shown;
        for (QAction* title : window->menuBar()->actions()) {
            ASSERT_NE(title->menu(), nullptr);
            shown.emplace_back(title->text(), QStringList());
            for (QAction* action : title->menu()->actions())
                shown.back().second << (action->isSeparator() ? QString("-") : action->text());
        }
        const std::vector<std::pair<QString, QStringList>> menus = {
            {"&File", {"Open...", "-", "Quit"}},
            {"&Edit", {"&Undo", "-", "Cu&t", "&Copy", "&Paste", "Clear"}},
            {"&Help", {"About Veilor..."}},
        };
        EXPECT_EQ(shown, menus);

        for (bool before : {true, false}) {
            for (const Row& row : rows)
                if (row.keys) bar->_Lookup(row.name)->SetEnabled(before);
            OpenAndCloseMenu(window, before ? "&Edit" : "&Help");
            for (const Row& row : rows) {
                if (!row.keys) continue;
                SCOPED_TRACE(std::string(row.name) + (before ? " from enabled" : " from disabled"));
                QAction* action = FindAction(window, row.text);
                ASSERT_NE(action, nullptr);
                EXPECT_EQ(action->shortcut().toString(QKeySequence::PortableText), QString(row.keys));
                EXPECT_EQ(bar->_Lookup(row.name)->Enabled(), row.enabled);
                EXPECT_EQ(action->isEnabled(), row.enabled);
            }
        }
    });
}
