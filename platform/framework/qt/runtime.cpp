// SPDX-License-Identifier: MIT
#include "runtime.h"

#include "application.h"
#include "platform/framework/msgbox.h"
#include "qt_internal.h"
#include "quit_when_shown.h"
#include "window.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

struct RuntimeState {
    std::unique_ptr<QApplication> qtApp;
    ApplicationRef app;
    int handlerDepth = 0;
    bool startupFailed = false;
    bool startedWithDocuments = false;
    int exitStatus = 0;
};

RuntimeState& State()
{
    static RuntimeState state;
    return state;
}

// Qt would take arguments such as "-style" for itself; every argument here is a path.
int gQtArgc = 1;
char gQtProgramName[] = "veilor";
char* gQtArgv[] = {gQtProgramName, nullptr};

int gSignalPipe[2] = {-1, -1};
QPointer<QSocketNotifier> gSignalNotifier;

extern "C" void OnQuitSignal(int)
{
    const int saved = errno;
    const char byte = 'q';
    [[maybe_unused]] ssize_t written = write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

// SIGINT and SIGTERM reach the event loop through a socket pair, and quit like Quit.
void WatchQuitSignals()
{
    if (gSignalNotifier) return;
    if (gSignalPipe[0] < 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
    gSignalNotifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(gSignalNotifier, &QSocketNotifier::activated, [] {
        char byte;
        [[maybe_unused]] ssize_t got = read(gSignalPipe[0], &byte, 1);
        RuntimeQuit();
    });
    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

constexpr const char* kNoDisplay =
    "veilor: no display to open the window on; run it in a desktop session, or under a virtual display: "
    "xvfb-run -a veilor [PATH...]\n";

// Qt aborts when its window system cannot start; Veilor says so in one line and ends with status 1.
struct HeldMessage {
    QtMsgType type;
    QString text;
};
std::vector<HeldMessage> gHeldMessages;

void HoldOrRefuse(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtFatalMsg) {
        gHeldMessages.push_back({type, text});
        return;
    }
    std::fputs(kNoDisplay, stderr);
    std::_Exit(1);
}

std::unique_ptr<QApplication> StartQt()
{
    const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs(kNoDisplay, stderr);
        std::_Exit(1);
    }
    const QtMessageHandler previous = qInstallMessageHandler(HoldOrRefuse);
    auto application = std::make_unique<QApplication>(gQtArgc, gQtArgv);
    qInstallMessageHandler(previous);
    // What Qt said on a start that went well is told as it would have been.
    for (const HeldMessage& held : std::exchange(gHeldMessages, {}))
        qt_message_output(held.type, QMessageLogContext(), held.text);
    return application;
}

}  // namespace

void RuntimeHandle(const std::function<void()>& handler)
{
    RuntimeState& state = State();
    ++state.handlerDepth;
    try {
        handler();
    } catch (const std::exception& error) {
        const bool handled = state.app && state.app->Event_UnhandledException(error);
        if (!handled) ReportUnhandledException(error);
    }
    --state.handlerDepth;
    if (state.handlerDepth == 0) ScheduleOpenDocuments();
}

bool RuntimeHandlerRunning()
{
    return State().handlerDepth > 0;
}

void RuntimeInit(int argc, char** argv, char** /*envp*/)
{
    RuntimeState& state = State();
    RuntimeRecordCall("RuntimeInit");
    state.startupFailed = false;
    state.exitStatus = 0;

    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::filesystem::path path = std::filesystem::absolute(argv[i], error);
        paths.push_back(error ? std::string(argv[i]) : path.string());
    }

    if (!QApplication::instance()) {
        QApplication::setApplicationName(QStringLiteral("veilor"));
        QApplication::setApplicationDisplayName(QStringLiteral(VEILOR_NAME));
        QApplication::setApplicationVersion(QStringLiteral(VEILOR_VERSION));
        QApplication::setDesktopFileName(QStringLiteral("org.veilor.Veilor"));
        state.qtApp = StartQt();
        QuitWhenShownIfAsked();
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.veilor.Veilor")));
        QObject::connect(qApp, &QGuiApplication::applicationStateChanged, [](Qt::ApplicationState now) {
            ApplicationRef app = State().app;
            if (!app) return;
            if (now == Qt::ApplicationActive)
                RuntimeHandle([&] { app->Event_Activate(); });
            else if (now == Qt::ApplicationInactive)
                RuntimeHandle([&] { app->Event_Deactivate(); });
        });
    }
    SetMsgBoxPresenter(ShowMsgBox);

    const HandOver handed = HandToRunningInstance(paths);
    if (handed.all) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    // What the running instance did not take, because it did not answer in time, is ours.
    paths.erase(paths.begin(), paths.begin() + std::ptrdiff_t(handed.taken));
    ListenForOtherInstances();
    WatchQuitSignals();
    state.startedWithDocuments = !paths.empty();
    SetPendingDocuments(std::move(paths));
}

void RuntimeInitExternalClasses()
{
    RuntimeRecordCall("RuntimeInitExternalClasses");
}

void RuntimeRun()
{
    RuntimeRecordCall("RuntimeRun");
    RuntimeState& state = State();
    if (state.startupFailed) return;
    QTimer::singleShot(0, qApp, [] {
        RuntimeHandle([] {
            ApplicationRef app = State().app;
            if (!app) return;
            app->Event_Open();
            // Started with nothing to open, as from a launcher.
            if (!State().startedWithDocuments) app->Event_NewDocument();
        });
    });
    ScheduleOpenDocuments();
    RuntimeRecomputeMenus();  // the program's own enabling shown before the first menu opens
    state.exitStatus = QApplication::exec();
    RuntimeRecordCall("RuntimeRun returned");
    RuntimeHandle([] {
        if (ApplicationRef app = State().app) app->Event_Close();
    });
}

int RuntimeExit()
{
    RuntimeRecordCall("RuntimeExit");
    RuntimeState& state = State();
    state.app.reset();
    SetPendingDocuments({});
    StopListening();
    SetMsgBoxPresenter(nullptr);
    // Qt's own globals are gone by the time static objects are destroyed, so it ends here.
    state.qtApp.reset();
    return state.startupFailed ? 1 : state.exitStatus;
}

void RuntimeQuit()
{
    RuntimeRecordCall("RuntimeQuit");
    QCoreApplication::exit(0);
}

void RuntimeStartupError(const std::string& message)
{
    RuntimeRecordCall("RuntimeStartupError");
    State().startupFailed = true;
    std::fprintf(stderr, "veilor: %s\n", message.c_str());
    ShowStartupError(message);
}

void RuntimeRegisterAppObject(const ApplicationRef& app)
{
    RuntimeRecordCall("RuntimeRegisterAppObject");
    State().app = app;
}

ApplicationRef getAppObject()
{
    return State().app;
}

void RuntimeBackgroundTask()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

std::string EndOfLine()
{
    return "\n";
}
