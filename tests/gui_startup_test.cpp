// Start-up, the menu bar, Quit and open-document events, in the running program.

#include "gui_support.h"

#include "app/app.h"
#include "framework/nil_object.h"
#include "framework/qt/runtime.h"
#include "framework/qt/window.h"
#include "ui/menu_bar1.h"

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

TEST(StartUp, RunsInItsFixedOrderAndQuitFinalisesInOrder)
{
    TempFolder temp;
    bool quitEnabled = false;
    const int status = RunVeilor(temp / "run", {}, [&] {
        QAction* quit = FindAction(MainQtWindow(), "Quit");
        ASSERT_NE(quit, nullptr);
        OpenAndCloseMenu(MainQtWindow(), "&File");
        quitEnabled = quit->isEnabled();
        quit->trigger();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(quitEnabled);
    EXPECT_TRUE(InOrder(RuntimeCallRecord(), {
        "RuntimeInit", "RuntimeInitExternalClasses",
        "file type: register text", "file type: register special/application",
        "file type: register resource", "file type: register special/folder",
        "Application.MenuBar", "RuntimeRegisterAppObject",
        "_AddMenuHandler FileOpen", "_AddMenuHandler AppleAboutVeilor",
        "Window MainWindow.MainWindow", "Layout", "_SetProperties MainWindow.MainWindow",
        "CreateControls", "_AddControl StaticText1", "_SetProperties StaticText1",
        "_AddControl StaticText2", "_SetProperties StaticText2",
        "AddMenuHandlers", "Open", "AcceptFileDrop special/application",
        "RuntimeRun", "menu FileQuit", "RuntimeQuit", "RuntimeRun returned", "RuntimeReleaseWindows",
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

TEST(MenuBar, HoldsTheTwelveRowsInOrderAndUnknownNamesAreNil)
{
    struct Row {
        const char* menu;  // "" for the menu bar itself
        const char* name;
        const std::type_info& kind;
        const char* text;
        const char* shortcut;
        bool autoEnable;
    };
    const Row rows[] = {
        {"", "FileMenu", typeid(MenuItem), "&File", "", false},
        {"FileMenu", "FileOpen", typeid(MenuItem), "Open...", "Cmd+O", false},
        {"FileMenu", "UntitledMenu1", typeid(MenuItem), "-", "", true},
        {"FileMenu", "FileQuit", typeid(QuitMenuItem), "Quit", "Cmd+Q", true},
        {"", "EditMenu", typeid(MenuItem), "&Edit", "", false},
        {"EditMenu", "EditUndo", typeid(MenuItem), "&Undo", "Cmd+Z", false},
        {"EditMenu", "UntitledMenu0", typeid(MenuItem), "-", "", false},
        {"EditMenu", "EditCut", typeid(MenuItem), "Cu&t", "Cmd+X", false},
        {"EditMenu", "EditCopy", typeid(MenuItem), "&Copy", "Cmd+C", false},
        {"EditMenu", "EditPaste", typeid(MenuItem), "&Paste", "Cmd+V", false},
        {"EditMenu", "EditClear", typeid(MenuItem), "Clear", "", false},
        {"EditMenu", "AppleAboutVeilor", typeid(AppleMenuItem), "About Veilor...", "", false},
    };
    MenuBar1Ref bar = MenuBar1();
    ASSERT_NE(bar, nullptr);
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
    ReleaseMenuBar1();
}

TEST(MenuBar, ShowsWithLinuxShortcutsAndARecomputeEnablesOpenQuitAndAboutOnly)
{
    TempFolder temp;
    RunVeilor(temp / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        const std::vector<std::pair<QString, QStringList>> menus = {
            {"&File", {"Open...", "-", "Quit"}},
            {"&Edit", {"&Undo", "-", "Cu&t", "&Copy", "&Paste", "Clear"}},
            {"&Help", {"About Veilor..."}},
        };
        std::vector<std::pair<QString, QStringList>> shown;
        for (QAction* title : window->menuBar()->actions()) {
            ASSERT_NE(title->menu(), nullptr);
            shown.emplace_back(title->text(), QStringList());
            for (QAction* action : title->menu()->actions())
                shown.back().second << (action->isSeparator() ? QString("-") : action->text());
        }
        EXPECT_EQ(shown, menus);

        const struct {
            const char* name;
            const char* text;
            const char* keys;
            bool enabled;
        } items[] = {
            {"FileOpen", "Open...", "Ctrl+O", true}, {"FileQuit", "Quit", "Ctrl+Q", true},
            {"AppleAboutVeilor", "About Veilor...", "", true}, {"EditUndo", "&Undo", "Ctrl+Z", false},
            {"EditCut", "Cu&t", "Ctrl+X", false}, {"EditCopy", "&Copy", "Ctrl+C", false},
            {"EditPaste", "&Paste", "Ctrl+V", false}, {"EditClear", "Clear", "", false},
        };
        for (bool before : {true, false}) {
            for (const auto& item : items) Use(Use(App()).MenuBar())._Lookup(item.name)->SetEnabled(before);
            OpenAndCloseMenu(window, before ? "&Edit" : "&Help");
            for (const auto& item : items) {
                SCOPED_TRACE(std::string(item.name) + (before ? " from enabled" : " from disabled"));
                QAction* action = FindAction(window, item.text);
                ASSERT_NE(action, nullptr);
                EXPECT_EQ(action->shortcut().toString(QKeySequence::PortableText), QString(item.keys));
                EXPECT_EQ(Use(App()).MenuBar()->_Lookup(item.name)->Enabled(), item.enabled);
                EXPECT_EQ(action->isEnabled(), item.enabled);
            }
        }
    });
}

TEST(OpenDocument, EachArgumentIsPatchedAfterTheWindowOpens)
{
    TempFolder temp;
    const fs::path bundle = MakeBundle(temp.Path(), "Sample");
    const fs::path document = temp / "notes.txt";
    WriteBytes(document, "plain text\n");
    const std::vector<std::string> steps{"Open", "RuntimeRun", "OpenDocument " + bundle.string(),
                                         "OpenDocument " + document.string()};
    bool windowWasOpen = false;
    RunVeilor(temp / "run", {bundle.string(), document.string()}, [&] {
        windowWasOpen = MainQtWindow() != nullptr && MainQtWindow()->isVisible();
        WaitUntil([&] { return bool(InOrder(RuntimeCallRecord(), steps)); });
    });
    EXPECT_TRUE(windowWasOpen);
    EXPECT_TRUE(InOrder(RuntimeCallRecord(), steps));
    EXPECT_TRUE(BundlePatched(bundle));
    EXPECT_EQ(ReadBytes(document), "plain text\n");
}
