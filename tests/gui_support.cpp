// SPDX-License-Identifier: MIT
#include "gui_support.h"

#include "app/startup.h"
#include "platform/framework/qt/qt_widgets.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/qt/window.h"

#include <QAction>
#include <QDialog>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMenu>

extern char** environ;

namespace gui_test {

const std::string kInfoPlist =
    "<?xml version=\"1.0\"?><plist "
    "version=\"1.0\"><dict><key>CFBundleName</key><string>Sample</string></dict></plist>";

fs::path MakeBundle(const fs::path& folder, const std::string& name, const std::string& plist)
{
    const fs::path bundle = folder / (name + ".app");
    WriteBytes(bundle / "Contents" / "Info.plist", plist);
    return bundle;
}

fs::path MakeClassicApp(const fs::path& folder, const std::string& name)
{
    WriteBytes(folder / name, std::string("\0\0\0\x01 classic code", 16));
    WriteBytes(folder / ("._" + name), fixtures::TestData("cli/plst-appl.adouble"));
    return folder / name;
}

bool Patched(const fs::path& app)
{
    const fs::path plist = fs::is_directory(app) ? app / "Contents" / "Info.plist"
                                                 : app.parent_path() / ("._" + app.filename().string());
    return ReadBytes(plist).find("<key>NSUIElement</key>") != std::string::npos;
}

int RunVeilor(const fs::path& runtimeDir, const std::vector<std::string>& args,
              const std::function<void()>& body)
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
    QTimer::singleShot(0, qApp, [&] {
        body();
        RuntimeQuit();
    });
    _Main();
    _ModuleFinalize();
    return RuntimeExit();
}

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

ModalWatcher::ModalWatcher(std::function<bool(QWidget*)> act)
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

QMainWindow* MainQtWindow()
{
    WindowRef window = RuntimeGetImplicitWindow("MainWindow.MainWindow");
    return window ? QtWindowOf(*window) : nullptr;
}

QAction* FindAction(QMainWindow* window, const QString& text)
{
    for (QAction* action : window ? window->findChildren<QAction*>() : QList<QAction*>())
        if (action->text() == text) return action;
    return nullptr;
}

void OpenAndCloseMenu(QMainWindow* window, const QString& menuTitle)
{
    QAction* action = FindAction(window, menuTitle);
    if (!action || !action->menu()) return;
    action->menu()->popup(QPoint(0, 0));
    action->menu()->hide();
}

}  // namespace gui_test
