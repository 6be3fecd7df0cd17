#include "gui_support.h"

#include "app/startup.h"
#include "framework/qt/runtime.h"
#include "framework/qt/qt_widgets.h"
#include "framework/qt/window.h"

#include <QAction>
#include <QDialog>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

extern char** environ;

namespace gui_test {

const std::string kInfoPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleName</key>\n\t<string>Sample</string>\n"
    "\t<key>CFBundlePackageType</key>\n\t<string>APPL</string>\n"
    "</dict>\n</plist>\n";

TempFolder::TempFolder()
{
    std::string pattern = (fs::temp_directory_path() / "veilor-gui-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    mPath = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path MakeBundle(const fs::path& folder, const std::string& name, const std::string& plist)
{
    const fs::path bundle = folder / (name + ".app");
    fs::create_directories(bundle / "Contents");
    WriteFile(bundle / "Contents" / "Info.plist", plist);
    return bundle;
}

namespace {

void Put16(std::string& out, unsigned value)
{
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

void Put32(std::string& out, std::uint32_t value)
{
    Put16(out, value >> 16);
    Put16(out, value & 0xFFFF);
}

// A resource fork holding one resource: plst 0, no name.
std::string ResourceFork(const std::string& plist)
{
    std::string data;
    Put32(data, static_cast<std::uint32_t>(plist.size()));
    data += plist;

    const std::uint32_t dataOffset = 256;
    const std::uint32_t mapOffset = dataOffset + static_cast<std::uint32_t>(data.size());
    std::string map(16, '\0');
    Put32(map, 0);          // next map
    Put16(map, 0);          // file reference
    Put16(map, 0);          // attributes
    Put16(map, 28);         // type list
    Put16(map, 28 + 2 + 8 + 12);  // name list
    Put16(map, 0);          // one type
    map += "plst";
    Put16(map, 0);          // one resource
    Put16(map, 2 + 8);      // its reference list
    Put16(map, 0);          // ID 0
    Put16(map, 0xFFFF);     // no name
    Put32(map, 0);          // attributes 0, data at 0
    Put32(map, 0);          // handle

    std::string fork;
    Put32(fork, dataOffset);
    Put32(fork, mapOffset);
    Put32(fork, static_cast<std::uint32_t>(data.size()));
    Put32(fork, static_cast<std::uint32_t>(map.size()));
    fork.resize(dataOffset, '\0');
    return fork + data + map;
}

std::string AppleDouble(const std::string& type, const std::string& fork)
{
    std::string out;
    Put32(out, 0x00051607);
    Put32(out, 0x00020000);
    out += std::string(16, '\0');
    Put16(out, 2);
    const std::uint32_t finderInfo = 26 + 2 * 12;
    Put32(out, 9);
    Put32(out, finderInfo);
    Put32(out, 32);
    Put32(out, 2);
    Put32(out, finderInfo + 32);
    Put32(out, static_cast<std::uint32_t>(fork.size()));
    std::string info = type + "????";
    info.resize(32, '\0');
    return out + info + fork;
}

}  // namespace

fs::path MakeClassicApp(const fs::path& folder, const std::string& name)
{
    const fs::path app = folder / name;
    WriteFile(app, std::string("\0\0\0\x01 classic code", 16));
    WriteFile(folder / ("._" + name), AppleDouble("APPL", ResourceFork(kInfoPlist)));
    return app;
}

bool BundlePatched(const fs::path& bundle)
{
    return ReadFile(bundle / "Contents" / "Info.plist").find("<key>NSUIElement</key>") != std::string::npos;
}

bool ClassicAppPatched(const fs::path& app)
{
    const fs::path companion = app.parent_path() / ("._" + app.filename().string());
    return ReadFile(companion).find("<key>NSUIElement</key>") != std::string::npos;
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

ModalWatcher::ModalWatcher(std::function<bool(QWidget*)> act) : mTimer(std::make_unique<QTimer>())
{
    mTimer->setInterval(10);
    QObject::connect(mTimer.get(), &QTimer::timeout, [this, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (modal == mLast && ++mTries > 500) {
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
            return;
        }
        if (act(modal) && modal != mLast) {
            mLast = modal;
            mTries = 0;
            ++mSeen;
        }
    });
    mTimer->start();
}

ModalWatcher::~ModalWatcher() = default;

QMainWindow* MainQtWindow()
{
    WindowRef window = RuntimeGetImplicitWindow("MainWindow.MainWindow");
    return window ? QtWindowOf(*window) : nullptr;
}

namespace {

QAction* FindIn(const QList<QAction*>& actions, const QString& text)
{
    for (QAction* action : actions) {
        if (action->text() == text) return action;
        if (QMenu* menu = action->menu()) {
            if (QAction* found = FindIn(menu->actions(), text)) return found;
        }
    }
    return nullptr;
}

}  // namespace

QAction* FindAction(QMainWindow* window, const QString& text)
{
    return window ? FindIn(window->menuBar()->actions(), text) : nullptr;
}

void OpenAndCloseMenu(QMainWindow* window, const QString& menuTitle)
{
    QAction* action = FindAction(window, menuTitle);
    if (!action || !action->menu()) return;
    action->menu()->popup(QPoint(0, 0));
    action->menu()->hide();
}

}  // namespace gui_test
