// Start-up, the menu bar, Quit and open-document events, in the running program.

#include "gui_support.h"

#include "app/app.h"
#include "framework/file_type_registry.h"
#include "framework/nil_object.h"
#include "framework/qt/runtime.h"
#include "framework/qt/window.h"
#include "ui/menu_bar1.h"

#include <QAction>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
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
        if (at == record.end()) {
            std::string all;
            for (const std::string& entry : record) all += "\n  " + entry;
            return ::testing::AssertionFailure() << "missing or out of order: " << step << "; record:" << all;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(StartUp, RunsInItsFixedOrderAndQuitFinalisesInOrder)
{
    TempFolder temp;
    bool quitEnabled = false;
    const int status = RunVeilor(temp.Path() / "run", {}, [&] {
        QAction* quit = FindAction(MainQtWindow(), "Quit");
        ASSERT_NE(quit, nullptr);
        OpenAndCloseMenu(MainQtWindow(), "&File");
        quitEnabled = quit->isEnabled();
        quit->trigger();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(quitEnabled);
    EXPECT_TRUE(InOrder(RuntimeCallRecord(), {
        "RuntimeInit",
        "RuntimeInitExternalClasses",
        "file type: register text",
        "file type: register special/application",
        "file type: register resource",
        "file type: register special/folder",
        "Application.MenuBar",
        "RuntimeRegisterAppObject",
        "_AddMenuHandler FileOpen",
        "_AddMenuHandler AppleAboutVeilor",
        "Window MainWindow.MainWindow",
        "Layout",
        "_SetProperties MainWindow.MainWindow",
        "CreateControls",
        "_AddControl StaticText1",
        "_SetProperties StaticText1",
        "_AddControl StaticText2",
        "_SetProperties StaticText2",
        "AddMenuHandlers",
        "Open",
        "AcceptFileDrop special/application",
        "RuntimeRun",
        "menu FileQuit",
        "RuntimeQuit",
        "RuntimeRun returned",
        "RuntimeReleaseWindows",
        "file type: deregister text",
        "file type: deregister special/application",
        "file type: deregister resource",
        "file type: deregister special/folder",
        "RuntimeExit",
    }));
    EXPECT_EQ(getAppObject(), nullptr);
    EXPECT_EQ(RuntimeGetImplicitWindow("MainWindow.MainWindow"), nullptr);
}

TEST(StartUp, AFailedStepEndsTheRunWithStatusOneBeforeTheLoop)
{
    TempFolder temp;
    const struct {
        const char* name;
        bool fails;
        int status;
    } cases[] = {{"a step fails", true, 1}, {"nothing fails", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setenv("XDG_RUNTIME_DIR", (temp.Path()).c_str(), 1);
        char name[] = "veilor";
        char* argv[] = {name, nullptr};
        RuntimeInit(1, argv, environ);
        if (c.fails) RuntimeStartupError("The property-list plug-in lacks an operation.");
        bool looped = false;
        QTimer::singleShot(0, qApp, [&] {
            looped = true;
            RuntimeQuit();
        });
        RuntimeRun();
        EXPECT_EQ(looped, !c.fails);
        EXPECT_EQ(RuntimeExit(), c.status);
    }
}

TEST(MenuBar, HoldsTheTwelveRowsInOrder)
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
    EXPECT_EQ(MenuBar1(), bar);
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
    EXPECT_EQ(bar->Count(), 2u);
    EXPECT_EQ(bar->Child("FileMenu")->Count(), 3u);
    EXPECT_EQ(bar->Child("EditMenu")->Count(), 7u);
    ReleaseMenuBar1();
}

TEST(MenuBar, LookupFindsItemsAtAnyDepthAndUnknownNamesAreNil)
{
    MenuBar1Ref bar = MenuBar1();
    const struct {
        const char* name;
        bool found;
    } cases[] = {
        {"FileMenu", true}, {"FileOpen", true}, {"AppleAboutVeilor", true}, {"UntitledMenu0", true},
        {"FileSave", false}, {"fileopen", false}, {"", false}, {"MainWindow", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MenuItemRef item = bar->_Lookup(c.name);
        EXPECT_EQ(item != nullptr, c.found);
        if (item) {
            EXPECT_EQ(item->Name(), c.name);
        }
    }
    EXPECT_EQ(bar->Child("FileOpen"), nullptr);  // Child looks one level down only
    ReleaseMenuBar1();
}

TEST(MenuBar, ShowsInTheWindowWithLinuxShortcutsAndTheAboutItemUnderHelp)
{
    TempFolder temp;
    RunVeilor(temp.Path() / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        const struct {
            const char* menu;
            std::vector<QString> items;  // "-" for a separator
        } menus[] = {
            {"&File", {"Open...", "-", "Quit"}},
            {"&Edit", {"&Undo", "-", "Cu&t", "&Copy", "&Paste", "Clear"}},
            {"&Help", {"About Veilor..."}},
        };
        const QList<QAction*> titles = window->menuBar()->actions();
        ASSERT_EQ(titles.size(), 3);
        for (int m = 0; m < 3; ++m) {
            SCOPED_TRACE(menus[m].menu);
            EXPECT_EQ(titles[m]->text(), menus[m].menu);
            ASSERT_NE(titles[m]->menu(), nullptr);
            std::vector<QString> shown;
            for (QAction* action : titles[m]->menu()->actions())
                shown.push_back(action->isSeparator() ? QString("-") : action->text());
            EXPECT_EQ(shown, menus[m].items);
        }
        const struct {
            const char* text;
            const char* keys;
        } shortcuts[] = {
            {"Open...", "Ctrl+O"}, {"Quit", "Ctrl+Q"}, {"&Undo", "Ctrl+Z"}, {"Cu&t", "Ctrl+X"},
            {"&Copy", "Ctrl+C"}, {"&Paste", "Ctrl+V"}, {"Clear", ""}, {"About Veilor...", ""},
        };
        for (const auto& s : shortcuts) {
            SCOPED_TRACE(s.text);
            QAction* action = FindAction(window, s.text);
            ASSERT_NE(action, nullptr);
            EXPECT_EQ(action->shortcut().toString(QKeySequence::PortableText), QString(s.keys));
        }
    });
}

TEST(MenuBar, RecomputeEnablesOpenAndAboutAndNeverTheEditItems)
{
    TempFolder temp;
    RunVeilor(temp.Path() / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        const struct {
            const char* name;
            const char* text;
            bool enabled;
        } items[] = {
            {"FileOpen", "Open...", true}, {"FileQuit", "Quit", true}, {"AppleAboutVeilor", "About Veilor...", true},
            {"EditUndo", "&Undo", false}, {"EditCut", "Cu&t", false}, {"EditCopy", "&Copy", false},
            {"EditPaste", "&Paste", false}, {"EditClear", "Clear", false},
        };
        for (bool before : {true, false}) {
            for (const auto& item : items) Use(Use(App()).MenuBar())._Lookup(item.name)->SetEnabled(before);
            OpenAndCloseMenu(window, before ? "&Edit" : "&Help");
            for (const auto& item : items) {
                SCOPED_TRACE(std::string(item.name) + (before ? " from enabled" : " from disabled"));
                EXPECT_EQ(Use(App()).MenuBar()->_Lookup(item.name)->Enabled(), item.enabled);
                EXPECT_EQ(FindAction(window, item.text)->isEnabled(), item.enabled);
            }
        }
    });
}

TEST(MenuBar, CtrlOWorksWhenOpenWouldBeEnabled)
{
    TempFolder temp;
    int dialogs = 0;
    RunVeilor(temp.Path() / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        QAction* open = FindAction(window, "Open...");
        Use(App()).MenuBar()->_Lookup("FileOpen")->SetEnabled(false);
        open->setEnabled(false);
        QApplication::setActiveWindow(window);
        ModalWatcher watcher([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return false;
            dialog->reject();
            return true;
        });
        QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
        WaitUntil([&] { return watcher.Seen() > 0; });
        dialogs = watcher.Seen();
    });
    EXPECT_EQ(dialogs, 1);
}

TEST(OpenDocument, EachArgumentIsPatchedAfterTheWindowOpens)
{
    TempFolder temp;
    const fs::path bundle = MakeBundle(temp.Path(), "Sample");
    const fs::path classic = MakeClassicApp(temp.Path(), "Classic App");
    const fs::path document = temp.Path() / "notes.txt";
    WriteFile(document, "plain text\n");
    bool windowWasOpen = false;
    RunVeilor(temp.Path() / "run", {bundle.string(), classic.string(), document.string()}, [&] {
        windowWasOpen = MainQtWindow() != nullptr && MainQtWindow()->isVisible();
        WaitUntil([&] { return BundlePatched(bundle) && ClassicAppPatched(classic); });
    });
    EXPECT_TRUE(windowWasOpen);
    EXPECT_TRUE(BundlePatched(bundle));
    EXPECT_TRUE(ClassicAppPatched(classic));
    EXPECT_EQ(ReadFile(document), "plain text\n");
    EXPECT_TRUE(InOrder(RuntimeCallRecord(), {"Open", "RuntimeRun", "OpenDocument " + bundle.string(),
                                              "OpenDocument " + classic.string(),
                                              "OpenDocument " + document.string()}));
}
