// SPDX-License-Identifier: MIT
// The window program in this process, with a real event loop and real files.

#include "file_fixtures.h"
#include "signed_bundles.h"

#include "app/app.h"
#include "app/startup.h"
#include "platform/codesign/resource_seal.h"
#include "platform/files/open_folder.h"
#include "platform/files/unique_fd.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/qt/qt_internal.h"
#include "platform/framework/qt/qt_widgets.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/qt/window.h"
#include "platform/framework/zorp_plugin.h"
#include "platform/macho/sign.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <map>
#include <thread>

extern char** environ;

using namespace fixtures;

namespace {

// The application laid out as MakeApp does.
const auto NewApp = [](const fs::path& item, const std::string& plist = kAppPlist) {
    MakeApp(item, plist);
    return item;
};

// Starts the runtime in this process as main does, its socket in `runtimeDir`.
void InitRuntime(const fs::path& runtimeDir, const std::vector<std::string>& args)
{
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    // Qt's file dialog keeps its history in the user's configuration; tests keep theirs apart.
    setenv("XDG_CONFIG_HOME", (runtimeDir / "config").c_str(), 0);

    std::vector<std::string> storage{"veilor"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    RuntimeInit(static_cast<int>(storage.size()), argv.data(), environ);
}

// Runs the program as main does, with `body` as the first event of the loop, and expects it to end well.
void RunVeilor(const fs::path& runtimeDir, const std::vector<std::string>& args,
               const std::function<void()>& body)
{
    InitRuntime(runtimeDir, args);
    QTimer::singleShot(0, qApp, [&] {
        body();
        RuntimeQuit();
    });
    _Main();
    _ModuleFinalize();
    EXPECT_EQ(RuntimeExit(), 0) << "the run's exit status";
}

// Lets the loop run until `done` answers true; false when it never did within a generous time.
bool WaitUntil(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 30000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

QMainWindow* MainQtWindow()
{
    WindowRef window = RuntimeGetImplicitWindow("MainWindow.MainWindow");
    return window ? QtWindowOf(*window) : nullptr;
}

// The menu bar's action with that text, at any depth; nullptr when there is none.
QAction* FindAction(const QString& text)
{
    for (QAction* action : MainQtWindow() ? MainQtWindow()->findChildren<QAction*>() : QList<QAction*>())
        if (action->text() == text) return action;
    return nullptr;
}

// Offers each modal widget to `act`, which answers whether it took it. One that stays up long after
// is rejected, so that a test fails instead of hanging.
class ModalWatcher {
public:
    explicit ModalWatcher(std::function<bool(QWidget*)> act)
    {
        QObject::connect(&mTimer, &QTimer::timeout, [this, act = std::move(act)] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal == mLast && ++mTries > 500) {
                if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
            } else if (modal && modal != mLast && act(modal)) {
                mLast = modal;
                mTries = 0;
                ++mSeen;
            }
        });
        mTimer.start(10);
    }
    int Seen() const { return mSeen; }  // distinct widgets taken

private:
    QTimer mTimer;
    QPointer<QWidget> mLast;
    int mSeen = 0, mTries = 0;
};

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

UniqueFd NewSocket()
{
    return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

// Connects the socket to the path, or binds it there; whether it could.
bool At(const UniqueFd& fd, const fs::path& path, bool bind = false)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const auto* at = reinterpret_cast<sockaddr*>(&address);
    return (bind ? ::bind(fd.Get(), at, sizeof address) : ::connect(fd.Get(), at, sizeof address)) == 0;
}

UniqueFd Connected(const fs::path& socketPath)
{
    UniqueFd fd = NewSocket();
    EXPECT_TRUE(At(fd, socketPath)) << socketPath;
    return fd;
}

// Everything read from the descriptor until the other end closes (or the read times out).
std::string ReadAll(int fd)
{
    std::string bytes;
    char buffer[256];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, std::size_t(got));
    return bytes;
}

// Sends the bytes, then answers everything read back until the other end closes.
std::string Exchange(const fs::path& socketPath, const std::string& bytes)
{
    UniqueFd fd = NewSocket();
    if (!At(fd, socketPath)) return "<no connection>";
    [[maybe_unused]] ssize_t sent = ::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd.Get(), SHUT_WR);
    return ReadAll(fd.Get());
}

// Listens at the path, open to everyone, and answers what each connection sent, in brackets,
// until one sends "end" (or a long while passes, so that a failure cannot hang the test).
std::string ListenAndRecord(const fs::path& socketPath)
{
    const fs::path making = socketPath.string() + ".new";
    UniqueFd server = NewSocket();
    if (!At(server, making, true) || ::listen(server.Get(), 8) != 0) return "<cannot listen>";
    ::chmod(making.c_str(), 0777);
    ::rename(making.c_str(), socketPath.c_str());
    timeval wait{20, 0};
    ::setsockopt(server.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string record;
    for (UniqueFd fd; (fd = UniqueFd(::accept(server.Get(), nullptr, nullptr)));) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const std::string got = ReadAll(fd.Get());
        if (got == "end") break;
        record += "[" + got + "]";
    }
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

const auto FileUrl = [](const fs::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
};

bool Highlighted()
{
    const QWidget* content = MainQtWindow()->centralWidget();
    return content->autoFillBackground() &&
           content->palette().color(QPalette::Window) == content->palette().color(QPalette::Highlight);
}

// As a file manager drops, `meanwhile` run after the drag entered: answers which steps were accepted
// and whether the window was highlighted while the drag was over it and after.
std::string Drop(const QList<QUrl>& urls, const std::function<void()>& meanwhile)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(150, 70), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &enter);
    const bool highlighted = Highlighted();
    if (meanwhile) meanwhile();
    QDragMoveEvent move(QPoint(160, 80), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &move);
    QDropEvent drop(QPointF(160, 80), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &drop);
    return std::string(enter.isAccepted() ? "entered " : "") + (move.isAccepted() ? "moved " : "") +
           (drop.isAccepted() ? "dropped " : "") + (highlighted ? "highlighted " : "") +
           (Highlighted() ? "highlighted after" : "");
}

// Chooses the item once the menus were opened, which raises their recompute.
void Choose(const char* text)
{
    for (const char* menu : {"&File", "&Help"}) {
        if (QAction* action = FindAction(menu); action && action->menu()) {
            action->menu()->popup(QPoint(0, 0));
            action->menu()->hide();
        }
    }
    QAction* action = FindAction(text);
    ASSERT_NE(action, nullptr);
    ASSERT_TRUE(action->isEnabled());
    action->trigger();
}

}  // namespace

// A message is opened once its sender has confirmed the answer that it was taken: "k", then "c".
TEST(SingleInstance, TheRunningInstanceHandlesEachWholeConfirmedMessageOfItsOwnUserOnce)
{
    TempFolder temp;
    const fs::path first = NewApp(temp / "First.app"), second = NewApp(temp / "Second.app");
    const std::string one = Message({first.string()}),
                      big = Number(256u << 20) + Number(1) + Number(100) + "/x";
    const auto size = std::uint32_t(first.string().size());
    const struct {
        const char* label;
        std::string bytes;
        bool asNobody;
        std::string outcome;  // the answer, then whether First and Second were patched
    } cases[] = {
        {"two messages on one connection, each confirmed", one + "c" + Message({second.string()}) + "c",
         false, "kk 11"},
        {"a message never confirmed", one, false, "k 00"},
        {"a confirmation of another kind", one + "x", false, "k 00"},
        {"a trailing unfinished message", one + "c" + Number(20) + "ab", false, "k 10"},
        {"a message over the limit", big, false, " 00"},
        {"a message that holds less than it announces",
         Number(4 + 4 + 4 + size) + Number(2) + Number(size) + first.string(), false, " 00"},
        {"another user", one, true, " 00"},
    };
    const auto patched = [&] {
        return std::string(IsPatched(first) ? "1" : "0") + (IsPatched(second) ? "1" : "0");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const fs::path& app : {first, second}) MakeApp(app);
        std::string answer;
        RecordedCalls calls;
        RunVeilor(temp / "run", {}, [&] {
            // Another user cannot enter the private folder; a link to the socket beside it stands
            // for whatever road a peer of another uid might find.
            const fs::path reachable = temp / "reachable.socket";
            fs::remove(reachable);
            fs::create_hard_link(temp / "run" / "veilor.socket", reachable);
            ::chmod(reachable.c_str(), 0777);
            auto send = [&] { return Exchange(reachable, c.bytes); };
            answer = Beside([&] { return c.asNobody ? RunAsNobody(send) : send(); });
            EXPECT_TRUE(WaitUntil([&] { return c.outcome.ends_with(patched()); }));
        });
        EXPECT_EQ(answer + " " + patched(), c.outcome);
        const std::vector<std::string> opened = calls.Calls("OpenDocument ");
        EXPECT_EQ(std::count(opened.begin(), opened.end(), first.string()), IsPatched(first) ? 1 : 0);
    }
}

// The quietest make room for new peers, each goes after the idle time, and a hand-over still gets
// through. Out of descriptors, accepting fails: the running instance keeps its socket and accepts
// again. A socket left by an instance that ended (its lock free) is made anew.
TEST(SingleInstance, IdlePeersAreCappedAndDroppedAndAFailedAcceptIsRetried)
{
    TempFolder temp;
    const fs::path wanted = NewApp(temp / "Wanted.app"), unconfirmed = NewApp(temp / "Unconfirmed.app"),
                   later = NewApp(temp / "Later.app"), socketPath = temp / "run" / "veilor.socket";
    fs::create_directories(temp / "run");
    ASSERT_TRUE(At(NewSocket(), socketPath, true));
    auto ended = [](const std::vector<UniqueFd>& peers) {
        // Read past any answer: the end of the stream is what tells.
        return std::count_if(peers.begin(), peers.end(), [](const UniqueFd& fd) {
            char buffer[16];
            ssize_t got;
            while ((got = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {}
            return got == 0;
        });
    };
    RecordedCalls calls;
    InstanceLinkTimes times;
    times.idle = std::chrono::minutes(1);
    times.retry = std::chrono::milliseconds(20);
    const Installed<InstanceLinkTimes> linkTimes(SetInstanceLinkTimes, times);
    RunVeilor(temp / "run", {}, [&] {
        std::vector<UniqueFd> quiet;
        for (int i = 0; i < 100; ++i) quiet.push_back(Connected(socketPath));
        EXPECT_EQ(Beside([&] { return Exchange(socketPath, Message({wanted.string()}) + "c"); }), "k");
        EXPECT_TRUE(WaitUntil([&] { return IsPatched(wanted); }));
        // The 100 came first; 64 at most are held, the quietest let go to make room.
        EXPECT_GE(ended(quiet), 100 - 64);
        quiet.clear();

        times.idle = std::chrono::milliseconds(200);
        SetInstanceLinkTimes(times);
        std::vector<UniqueFd> idle;
        for (const std::string& sent : {std::string(), Number(20) + "ab", Message({unconfirmed.string()})}) {
            idle.push_back(Connected(socketPath));
            ASSERT_EQ(::send(idle.back().Get(), sent.data(), sent.size(), MSG_NOSIGNAL),
                      ssize_t(sent.size()));
        }
        EXPECT_TRUE(WaitUntil([&] { return ended(idle) == 3; }));
        times.idle = std::chrono::minutes(1);
        SetInstanceLinkTimes(times);

        const ino_t inode = LinkStatus(socketPath).st_ino;
        // Made while descriptors are left, connected when none is: connecting takes none. Every
        // number below the limit is taken (poll refuses to watch more than it allows).
        UniqueFd peer = NewSocket();
        int highest = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        std::vector<UniqueFd> taken;
        while (taken.empty() || taken.back().Get() < highest) taken.emplace_back(::dup(2));
        struct rlimit limit {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        const struct rlimit none = {rlim_t(taken.back().Get()) + 1, limit.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
        const bool connected = At(peer, socketPath);
        const bool failed = WaitUntil([&] { return !calls.Calls("instance link: accept failed").empty(); });
        ::setrlimit(RLIMIT_NOFILE, &limit);
        taken.clear();
        ASSERT_TRUE(connected);
        EXPECT_TRUE(failed);
        const std::string message = Message({later.string()}) + "c";
        ASSERT_EQ(::send(peer.Get(), message.data(), message.size(), MSG_NOSIGNAL), ssize_t(message.size()));
        EXPECT_TRUE(WaitUntil([&] { return IsPatched(later); }));
        EXPECT_EQ(LinkStatus(socketPath).st_ino, inode);
    });
    EXPECT_FALSE(IsPatched(unconfirmed));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
}

TEST(SingleInstance, ASecondInstanceNeverTalksToAnotherUsersSocketOrFolder)
{
    TempFolder temp;
    const fs::path own = temp / "run", shared = temp / "tmp", attackers = temp / "attacker";
    for (const fs::path& folder : {own, shared, attackers}) fs::create_directories(folder);
    fs::permissions(own, fs::perms::owner_all);
    for (const fs::path& open : {shared, attackers}) fs::permissions(open, fs::perms::all);
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
        c.runtimeDirSet ? setenv("XDG_RUNTIME_DIR", own.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", shared.c_str(), 1);
        const fs::path place = c.runtimeDirSet ? attackers / "veilor.socket" : socketPath;
        std::string heard;
        std::thread attacker([&] {
            heard = RunAsNobody([&] {
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
        EXPECT_FALSE(HandToRunningInstance({secret}).all);
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
    RecordedCalls calls;
    const fs::path bundle = NewApp(temp / "Sample.app"), document = temp / "notes.txt";
    WriteBytes(document, "plain text\n");
    const std::string openBundle = "OpenDocument " + bundle.string(),
                      openDocument = "OpenDocument " + document.string();
    RunVeilor(temp / "run", {bundle.string(), document.string()}, [&] {
        ASSERT_TRUE(MainQtWindow() && MainQtWindow()->isVisible());
        // Each line of the texts keeps to one row, fitted once the window is shown.
        for (const QLabel* label : MainQtWindow()->findChildren<QLabel*>())
            for (const QString& line : label->text().split('\n'))
                EXPECT_LE(QFontMetricsF(label->font()).horizontalAdvance(line), label->contentsRect().width())
                    << line.toStdString();
        // No close button, and a close request is ignored: Quit is the way out.
        EXPECT_FALSE(MainQtWindow()->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        EXPECT_FALSE(MainQtWindow()->close());
        EXPECT_TRUE(WaitUntil([&] { return bool(InOrder(calls.Calls(), {openBundle, openDocument})); }));
        EXPECT_TRUE(MainQtWindow()->isVisible());
        ASSERT_NE(FindAction("Quit"), nullptr);
        EXPECT_EQ(FindAction("Quit")->shortcut().toString(QKeySequence::PortableText), "Ctrl+Q");
        Choose("Quit");  // enabled once the menu was opened
    });
    EXPECT_TRUE(IsPatched(bundle));
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
    InitRuntime(temp / "run", {});
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

TEST(MainWindow, DropsShowTheTargetAndPatchEveryApplicationOneAfterAnotherSkippingOtherItems)
{
    TempFolder temp;
    const fs::path a = NewApp(temp / "Alpha.app"), b = NewApp(temp / "Beta"), c = NewApp(temp / "Gamma.app"),
                   first = NewApp(temp / "First.app", ""), last = NewApp(temp / "Last.app", ""),
                   text = temp / "readme.txt";
    WriteBytes(text, "just text\n");
    // A login item signed ad hoc inside an application signed ad hoc: the application re-sealed.
    const fs::path outer = temp / "Outer.app",
                   login = signed_bundles::CraftedBundle(outer / "Contents/Library/LoginItems/Login.app");
    const macho::NestedSeal nested =
        macho::SealOf(*macho::ReadMachO(ReadBytes(login / "Contents/MacOS/Tool")));
    signed_bundles::CraftedBundle(
        outer, {}, 0755, {},
        signed_bundles::SealOf(
            {{"Library/LoginItems/Login.app",
              "<dict><key>cdhash</key><data>" + signed_bundles::Base64(nested.cdhash) +
                  "</data><key>requirement</key><string>" + nested.requirement + "</string></dict>"}}));
    const QUrl web("https://example.org/app.html");

    using Boxes = std::vector<std::pair<QString, bool>>;  // text, Alpha patched by then
    const Boxes failures{{"No plst resource in file First.app.", false},
                         {"No plst resource in file Last.app.", true}};
    const struct {
        const char* name;
        QList<QUrl> urls;
        bool accepted;
        std::vector<fs::path> patched;
        Boxes boxes;
        std::function<void()> meanwhile = {};
    } cases[] = {
        {"three applications", {FileUrl(a), FileUrl(b), FileUrl(c)}, true, {a, b, c}, {}},
        {"web link second", {FileUrl(a), web, FileUrl(c)}, true, {a, c}, {}},
        {"text document second", {FileUrl(a), FileUrl(text), FileUrl(b)}, true, {a, b}, {}},
        {"nothing an application", {FileUrl(text), web}, false, {}, {}},
        {"a login item inside an application", {FileUrl(login)}, true, {login}, {}},
        {"failures around an application", {FileUrl(first), FileUrl(a), FileUrl(last)}, true, {a}, failures},
        // What the drag carries is judged once, when it enters, not again on every move.
        {"companion gone once it entered", {FileUrl(b)}, true, {}, {}, [&] { fs::remove(temp / "._Beta"); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const std::vector<fs::path>& want = testCase.patched;
        for (const fs::path& app : {a, c}) MakeApp(app);
        NewApp(temp / "Beta");
        Boxes boxes;
        RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                boxes.emplace_back(box ? box->text() : QString(), IsPatched(a));
                modal->close();
                return true;
            });
            EXPECT_EQ(Drop(testCase.urls, testCase.meanwhile),
                      testCase.accepted ? "entered moved dropped highlighted " : "");
            EXPECT_TRUE(WaitUntil([&] {
                return boxes.size() >= testCase.boxes.size() &&
                       std::all_of(want.begin(), want.end(), IsPatched);
            }));
            QCoreApplication::processEvents();
        });
        EXPECT_EQ(boxes, testCase.boxes);
        for (const fs::path& app : {a, b, c})
            EXPECT_EQ(IsPatched(app), std::find(want.begin(), want.end(), app) != want.end()) << app;
        EXPECT_EQ(ReadBytes(text), "just text\n");
    }
    EXPECT_EQ(signed_bundles::Verdict(outer), "signature valid (ad hoc)");
    EXPECT_EQ(CheckSeal(OpenFolder::At(outer / "Contents"),
                        ReadBytes(outer / "Contents/_CodeSignature/CodeResources"), "Tool")
                  .status,
              SealCheck::Status::Holds);
}

// A name is shown as the user would type it, never as markup that could forge the message.
TEST(MessageBoxes, RouteFailuresTheAboutBoxAndAnEscapedExceptionShowTheirExactTextsAsPlainText)
{
    const std::string names[] = {"<b>Bold.app",
                                 "<br><br><font size=6 color=green>All done<font color=#efefef>.app"};
    TempFolder temp;
    struct Box {
        QString title, text, explanation, applicationName;
        Qt::TextFormat format;
    };
    std::vector<Box> seen;
    QStringList enabledAtStart;
    bool wentOn = false;
    RunVeilor(temp / "run", {NewApp(temp / names[0], "").string(), NewApp(temp / names[1], "").string()},
              [&] {
                  for (QAction* action : MainQtWindow()->findChildren<QAction*>())
                      if (action->isEnabled() && !action->menu() && !action->isSeparator())
                          enabledAtStart << action->text();
                  ModalWatcher watcher([&seen](QWidget* modal) {
                      auto* box = qobject_cast<QMessageBox*>(modal);
                      if (!box) return false;
                      seen.push_back({box->windowTitle(), box->text(), box->informativeText(),
                                      QGuiApplication::applicationDisplayName(), box->textFormat()});
                      box->accept();
                      return true;
                  });
                  EXPECT_TRUE(WaitUntil([&] { return seen.size() == 2; }));
                  Choose("About Veilor...");
                  Choose("About Veilor...");  // made afresh each time
                  RuntimeHandle([] { throw NilObjectException(); });
                  wentOn = true;
              });
    enabledAtStart.sort();
    EXPECT_EQ(enabledAtStart, QStringList({"About Veilor...", "Open...", "Quit"}));
    ASSERT_EQ(seen.size(), 5u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(seen[i].text, QString::fromStdString("No plst resource in file " + names[i] + "."));
    for (const Box& about : {seen[2], seen[3]}) {
        EXPECT_EQ(about.title, "About");
        EXPECT_TRUE(about.title.endsWith(about.applicationName))
            << "the window system would show it with its own suffix";
        EXPECT_TRUE(QRegularExpression("\\AVeilor 1\\.0\\.0\n\n[^\n]+\\z").match(about.text).hasMatch())
            << about.text.toStdString();
        EXPECT_EQ(about.explanation, QString::fromStdString("Using " + Zorp::ZorpPluginVersion()));
    }
    EXPECT_EQ(seen[4].text, "An exception of class NilObjectException was not handled.");
    for (const Box& box : seen) EXPECT_EQ(box.format, Qt::PlainText) << box.text.toStdString();
    EXPECT_TRUE(wentOn);
}

TEST(OpenCommand, ListsApplicationsPatchesOnlyAnExplicitChoiceAndStartsBesideTheLastOne)
{
    TempFolder temp;
    const fs::path app = NewApp(temp / "Chosen.app");
    NewApp(temp / "Classic");
    fs::create_directories(temp / "Plain folder");
    WriteBytes(temp / "letter.txt", "text\n");
    const QString here = QString::fromStdString(temp.Path().string()),
                  bundle = QString::fromStdString(app.string());
    enum class How { Typed, DoubleClicked, Cancelled };
    for (How how : {How::Typed, How::DoubleClicked, How::Cancelled}) {
        SCOPED_TRACE(int(how));
        MakeApp(app);
        QStringList listed;
        QString filterShown, browsed;  // browsed: where the second dialog started, and what browsing did
        int dialogs = 0, others = 0;
        RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                if (!dialog) {
                    ++others;
                    modal->close();
                    return true;
                }
                if (++dialogs == 2) {
                    // Reaching the bundle by its Contents and the parent button only shows it.
                    browsed = dialog->directory().absolutePath();
                    dialog->setDirectory(bundle + "/Contents");
                    auto* parent = dialog->findChild<QAbstractButton*>("toParentButton");
                    if (!parent) return false;
                    parent->click();
                    QCoreApplication::processEvents();
                    const bool open = dialog->isVisible() && dialog->directory().absolutePath() == bundle;
                    browsed += QString(open ? " open" : " closed") + (IsPatched(app) ? " patched" : "");
                    dialog->reject();
                    return true;
                }
                if (how == How::Cancelled) {
                    dialog->reject();
                    return true;
                }
                auto* type = dialog->findChild<QComboBox*>("fileTypeCombo");
                filterShown = type ? type->currentText() : QString();
                dialog->setDirectory(here);
                QAbstractProxyModel* model = dialog->proxyModel();
                auto* files = qobject_cast<QFileSystemModel*>(model->sourceModel());
                EXPECT_TRUE(WaitUntil([&] {
                    const QModelIndex folder = model->mapFromSource(files->index(here));
                    listed.clear();
                    for (int row = 0; row < model->rowCount(folder); ++row)
                        listed << model->index(row, 0, folder).data().toString();
                    return listed.size() >= 3;
                }));
                if (how == How::DoubleClicked) {
                    for (auto* view : dialog->findChildren<QAbstractItemView*>()) {
                        if (!view->isVisible() || view->model() != model) continue;
                        const QModelIndex index = model->mapFromSource(files->index(bundle));
                        view->scrollTo(index);
                        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                                           view->visualRect(index).center());
                        return true;
                    }
                    return false;
                }
                // As the user types it: selectFile leaves the name field alone once it has focus.
                auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                if (!name) return false;
                name->setText("Chosen.app");
                static_cast<QDialog*>(dialog)->accept();
                return true;
            });
            if (how == How::Cancelled) {
                Use(App()).MenuBar()->_Lookup("FileOpen")->SetEnabled(false);
                FindAction("Open...")->setEnabled(false);
                QApplication::setActiveWindow(MainQtWindow());
                QTest::keyClick(MainQtWindow(), Qt::Key_O, Qt::ControlModifier);
                EXPECT_TRUE(WaitUntil([&] { return watcher.Seen() > 0; }));
                return;
            }
            Choose("Open...");
            EXPECT_TRUE(WaitUntil([&] { return IsPatched(app); }));
            if (how != How::DoubleClicked) return;
            MakeApp(app);
            Choose("Open...");
            EXPECT_TRUE(WaitUntil([&] { return dialogs == 2 && !QApplication::activeModalWidget(); }));
            EXPECT_EQ(browsed, here + " open");
        });
        EXPECT_EQ(dialogs, how == How::DoubleClicked ? 2 : 1);
        EXPECT_EQ(others, 0);
        EXPECT_EQ(IsPatched(app), how == How::Typed);
        if (how == How::Cancelled) continue;
        EXPECT_EQ(filterShown, "Applications");
        listed.sort();
        EXPECT_EQ(listed, QStringList({"Chosen.app", "Classic", "Plain folder", "run"}));
    }
}

// An item is refreshed when its list or companion is newer than it, patched or left alone; veilor-patch
// holds its rewrites together in one group.
TEST(BothRoads, TheWindowAndVeilorPatchLeaveTheSameItemsInTheSameState)
{
    constexpr time_t kItemTime = 1600000000, kOlder = kItemTime - 1000, kNewer = kItemTime + 1000;
    const struct {
        const char* name;
        std::string plist;  // for a bundle; a single file gets MakeApp's companion, "TEXT" a document's
        time_t listTime;
        bool flagged, refreshed;  // afterwards
    } items[] = {
        {"Older.app", kAppPlist, kOlder, true, true},
        {"Newer.app", kAppPlist, kNewer, true, true},
        {"OlderTool", "", kOlder, true, true},
        {"NewerTool", "", kNewer, true, true},
        {"Alone.app", "<array/>", kNewer, false, true},
        {"Broken.app", "<dict><key>a</key>", kNewer, false, true},
        {"Flagged.app", "<dict><key>NSUIElement</key><true/></dict>", kOlder, true, false},
        {"Notes", "TEXT", kNewer, false, true},
    };
    auto makeSet = [&](const fs::path& root) {
        std::vector<std::string> paths;
        for (const auto& item : items) {
            const fs::path path = root / item.name, companion = CompanionOf(path);
            if (item.plist == "TEXT") Lay(root, {item.name, companion.filename().string() + "=TEXT"});
            MakeOld(item.plist == "TEXT" ? companion : MakeApp(path, item.plist), item.listTime);
            MakeOld(path, kItemTime);
            paths.push_back(path.string());
        }
        // Signed ad hoc: its executable is signed again, by both roads alike.
        paths.push_back(signed_bundles::CraftedBundle(root / "Signed.app").string());
        return paths;
    };
    // Every item's mode and bytes, and which items were refreshed.
    auto state = [&](const fs::path& root) {
        std::map<std::string, std::string> seen = Tree(root);
        for (const auto& item : items)
            seen[std::string("refreshed ") + item.name] =
                ModifiedAt(root / item.name) != kItemTime ? "yes" : "no";
        return seen;
    };

    TempFolder temp;
    const std::vector<std::string> byWindow = makeSet(temp / "window"), byCommand = makeSet(temp / "command");
    const fs::path last = NewApp(temp / "Last.app");  // opened last: once it is patched, all were processed
    std::vector<std::string> opened = byWindow;
    opened.push_back(last.string());
    RunVeilor(temp / "run", opened, [&] {
        EXPECT_TRUE(WaitUntil([&] { return IsPatched(last); }));
        QCoreApplication::processEvents();
    });

    std::vector<std::string> argv{VEILOR_PATCH_BIN};
    argv.insert(argv.end(), byCommand.begin(), byCommand.end());
    const Finished command = RunProgram(argv);
    EXPECT_EQ(command.status, 0) << command.err;

    const auto windowState = state(temp / "window");
    EXPECT_EQ(state(temp / "command"), windowState);
    for (const auto& item : items) {
        EXPECT_EQ(IsPatched(temp / "window" / item.name), item.flagged) << item.name;
        EXPECT_EQ(windowState.at(std::string("refreshed ") + item.name), item.refreshed ? "yes" : "no");
    }
    EXPECT_EQ(signed_bundles::Verdict(temp / "window/Signed.app"), "signature valid (ad hoc)");
}
