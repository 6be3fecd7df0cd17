// SPDX-License-Identifier: MIT
#include "runtime.h"

#include "application.h"
#include "framework/file_type_registry.h"
#include "framework/msgbox.h"
#include "framework/nil_object.h"
#include "qt_internal.h"
#include "window.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <deque>
#include <filesystem>
#include <sys/socket.h>
#include <typeinfo>
#include <unistd.h>

namespace {

struct RuntimeState {
    std::unique_ptr<QApplication> qtApp;
    ApplicationRef app;
    std::vector<std::string> record;
    std::size_t fileTypeCallsSeen = 0;
    std::deque<std::string> pendingDocuments;
    bool drainScheduled = false;
    int handlerDepth = 0;
    bool startupFailed = false;
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

std::string ExceptionClassName(const std::exception& error)
{
    if (dynamic_cast<const NilObjectException*>(&error)) return "NilObjectException";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? name.get() : typeid(error).name();
}

void ReportUnhandledException(const std::exception& error)
{
    const std::string className = ExceptionClassName(error);
    std::fprintf(stderr, "veilor: an exception of class %s was not handled\n", className.c_str());
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    ToQString("An exception of class " + className + " was not handled."),
                    QMessageBox::Ok, RuntimeDialogParent());
    box.setInformativeText(QObject::tr("The command was stopped. The program goes on running."));
    box.exec();
}

void ShowMsgBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(),
                    ToDisplayText(text), QMessageBox::Ok, RuntimeDialogParent());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void DrainOpenDocuments();

void ScheduleDrain()
{
    RuntimeState& state = State();
    if (state.drainScheduled || state.pendingDocuments.empty() || !qApp) return;
    state.drainScheduled = true;
    QTimer::singleShot(0, qApp, DrainOpenDocuments);
}

// One document per turn of the loop, never inside another handler of the program's.
void DrainOpenDocuments()
{
    RuntimeState& state = State();
    state.drainScheduled = false;
    if (state.handlerDepth > 0 || state.pendingDocuments.empty()) return;
    const std::string path = state.pendingDocuments.front();
    state.pendingDocuments.pop_front();
    RuntimeRecordCall("OpenDocument " + path);
    RuntimeHandle([&] {
        if (ApplicationRef app = state.app) app->Event_OpenDocument(std::make_shared<FolderItem>(path));
    });
    ScheduleDrain();
}

}  // namespace

QString ToQString(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString ToDisplayText(const std::string& bytes)
{
    QString text = ToQString(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

std::string FromQString(const QString& text)
{
    return text.toStdString();
}

std::string PathFromQString(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

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
    if (state.handlerDepth == 0) ScheduleDrain();
}

void RuntimeInit(int argc, char** argv, char** /*envp*/)
{
    RuntimeState& state = State();
    state.record.clear();
    state.fileTypeCallsSeen = FileTypeRegistryLog().size();
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
        QApplication::setDesktopFileName(QStringLiteral("veilor"));
        state.qtApp = std::make_unique<QApplication>(gQtArgc, gQtArgv);
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("veilor")));
    }
    SetMsgBoxPresenter(ShowMsgBox);

    if (HandToRunningInstance(paths)) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    ListenForOtherInstances();
    WatchQuitSignals();
    state.pendingDocuments.assign(paths.begin(), paths.end());
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
            if (ApplicationRef app = State().app) app->Event_Open();
        });
    });
    ScheduleDrain();
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
    state.pendingDocuments.clear();
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
    const QString platform = QGuiApplication::platformName();
    if (qApp && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                        ToDisplayText(message), QMessageBox::Ok);
        box.exec();
    }
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

void RuntimeOpenDocuments(const std::vector<std::string>& paths)
{
    RuntimeState& state = State();
    state.pendingDocuments.insert(state.pendingDocuments.end(), paths.begin(), paths.end());
    ScheduleDrain();
}

void RuntimeBackgroundTask()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

std::string EndOfLine()
{
    return "\n";
}

const std::vector<std::string>& RuntimeCallRecord()
{
    return State().record;
}

// File-type registrations are framework calls too; they join the record in their place.
void RuntimeRecordCall(std::string call)
{
    RuntimeState& state = State();
    const std::vector<std::string>& fileTypeCalls = FileTypeRegistryLog();
    if (fileTypeCalls.size() < state.fileTypeCallsSeen) state.fileTypeCallsSeen = 0;
    for (; state.fileTypeCallsSeen < fileTypeCalls.size(); ++state.fileTypeCallsSeen)
        state.record.push_back("file type: " + fileTypeCalls[state.fileTypeCallsSeen]);
    state.record.push_back(std::move(call));
}
