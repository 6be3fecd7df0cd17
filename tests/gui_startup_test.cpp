// SPDX-License-Identifier: MIT
// Start-up, open-document events, the menu bar and Quit, in the running program.

#include "gui_support.h"

#include "app/app.h"
#include "framework/nil_object.h"
#include "framework/qt/runtime.h"
#include "framework/qt/window.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

}  // namespace

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
    setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
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
