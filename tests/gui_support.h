// SPDX-License-Identifier: MIT
#pragma once
// Helpers for the in-process tests of the window program: real files, a real event loop.

#include "file_fixtures.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QMainWindow;

namespace gui_test {

namespace fs = std::filesystem;
using fixtures::ReadBytes;
using fixtures::TempFolder;
using fixtures::WriteBytes;

extern const std::string kInfoPlist;

// NAME.app/Contents/Info.plist holding `plist`.
fs::path MakeBundle(const fs::path& folder, const std::string& name, const std::string& plist = kInfoPlist);
// A single-file application: a data file and its AppleDouble companion "._NAME" with the type
// "APPL" and a property list as plst resource 0.
fs::path MakeClassicApp(const fs::path& folder, const std::string& name);
// True once the application's (bundle's or single file's) property list carries NSUIElement.
bool Patched(const fs::path& app);

// Runs the program in this process as main does, with `body` as the first event of the loop.
// The program's runtime socket lives in `runtimeDir`. Answers the exit status.
[[nodiscard]] int RunVeilor(const fs::path& runtimeDir, const std::vector<std::string>& args,
                            const std::function<void()>& body);

// Lets the loop run until `done` answers true; false when it never did within a generous time.
[[nodiscard]] bool WaitUntil(const std::function<bool()>& done);

// While a modal widget is up, `act` is offered it on every turn of the loop; `act` answers
// whether it took the widget (and should close it). One that stays up long after is rejected,
// so a test fails instead of hanging. Stops when destroyed.
class ModalWatcher {
public:
    explicit ModalWatcher(std::function<bool(QWidget*)> act);
    int Seen() const { return mSeen; }  // distinct widgets taken

private:
    QTimer mTimer;
    QPointer<QWidget> mLast;
    int mSeen = 0, mTries = 0;
};

QMainWindow* MainQtWindow();
// The menu bar's action with that text, at any depth; nullptr when there is none.
QAction* FindAction(QMainWindow* window, const QString& text);
// Raises the menus' recompute as opening a menu does.
void OpenAndCloseMenu(QMainWindow* window, const QString& menuTitle);

}  // namespace gui_test
