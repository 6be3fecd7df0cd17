// The Open dialog, the About box, message boxes and the framework's unhandled-exception box.

#include "gui_support.h"

#include "app/app.h"
#include "framework/nil_object.h"
#include "framework/qt/qt_internal.h"
#include "framework/qt/runtime.h"
#include "framework/zorp_plugin.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace gui_test;

namespace {

struct BoxSeen {
    QString title, text, informative;
};

// Watches for message boxes, reads and dismisses each.
std::unique_ptr<ModalWatcher> WatchBoxes(std::vector<BoxSeen>& seen)
{
    return std::make_unique<ModalWatcher>([&seen](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) return false;
        seen.push_back({box->windowTitle(), box->text(), box->informativeText()});
        box->accept();
        return true;
    });
}

void Choose(const char* text)
{
    OpenAndCloseMenu(MainQtWindow(), "&File");
    OpenAndCloseMenu(MainQtWindow(), "&Help");
    QAction* action = FindAction(MainQtWindow(), text);
    ASSERT_NE(action, nullptr);
    ASSERT_TRUE(action->isEnabled());
    action->trigger();
}

}  // namespace

TEST(AboutBox, ShowsVersionsTitleAndPluginAfreshEachTime)
{
    TempFolder temp;
    std::vector<BoxSeen> seen;
    RunVeilor(temp / "run", {}, [&] {
        auto watcher = WatchBoxes(seen);
        Choose("About Veilor...");
        Choose("About Veilor...");
    });
    ASSERT_EQ(seen.size(), 2u);
    for (const BoxSeen& box : seen) {
        EXPECT_EQ(box.title, "About");
        const QStringList parts = box.text.split('\n');
        ASSERT_EQ(parts.size(), 3);  // exactly two line ends
        EXPECT_EQ(parts[0], "Veilor 1.0.0");
        EXPECT_TRUE(parts[1].isEmpty());
        EXPECT_FALSE(parts[2].isEmpty());
        EXPECT_EQ(box.informative, QString::fromStdString("Using " + Zorp::ZorpPluginVersion()));
    }
}

TEST(OpenCommand, PatchesTheChosenApplicationAndCancelDoesNothing)
{
    TempFolder temp;
    const struct {
        const char* name;
        bool cancel;
        bool byShortcut;  // Ctrl+O before any recompute has enabled Open
    } cases[] = {{"bundle chosen", false, false}, {"cancelled", true, false}, {"cancelled after Ctrl+O", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = temp / c.name;
        const fs::path app = MakeBundle(folder, "Chosen");
        int dialogs = 0, others = 0;
        RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                if (!dialog) {
                    ++others;
                    modal->close();
                    return true;
                }
                if (c.cancel) {
                    dialog->reject();
                } else {
                    dialog->setDirectory(QString::fromStdString(folder.string()));
                    // As the user types it: selectFile leaves the name field alone once it has focus.
                    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                    if (!name) return false;
                    name->setText("Chosen.app");
                    static_cast<QDialog*>(dialog)->accept();
                }
                return true;
            });
            if (c.byShortcut) {
                Use(App()).MenuBar()->_Lookup("FileOpen")->SetEnabled(false);
                FindAction(MainQtWindow(), "Open...")->setEnabled(false);
                QApplication::setActiveWindow(MainQtWindow());
                QTest::keyClick(MainQtWindow(), Qt::Key_O, Qt::ControlModifier);
            } else {
                Choose("Open...");
            }
            WaitUntil([&] { return c.cancel ? watcher.Seen() > 0 : BundlePatched(app); });
            dialogs = watcher.Seen() - others;
        });
        EXPECT_EQ(dialogs, 1);
        EXPECT_EQ(others, 0);
        EXPECT_EQ(ReadBytes(app / "Contents" / "Info.plist") == kInfoPlist, c.cancel);
        EXPECT_EQ(BundlePatched(app), !c.cancel);
    }
}

TEST(OpenCommand, DialogShowsFoldersAndApplicationsOnly)
{
    TempFolder temp;
    MakeBundle(temp.Path(), "Shown");
    MakeClassicApp(temp.Path(), "Classic");
    fs::create_directories(temp / "Plain folder");
    WriteBytes(temp / "letter.txt", "text\n");
    const QString here = QString::fromStdString(temp.Path().string());
    QStringList listed;
    RunVeilor(temp / "run", {}, [&] {
        ModalWatcher watcher([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return false;
            dialog->setDirectory(here);
            QAbstractProxyModel* model = dialog->proxyModel();
            auto* files = qobject_cast<QFileSystemModel*>(model->sourceModel());
            WaitUntil([&] {
                const QModelIndex folder = model->mapFromSource(files->index(here));
                listed.clear();
                for (int row = 0; row < model->rowCount(folder); ++row)
                    listed << model->index(row, 0, folder).data().toString();
                return listed.size() >= 3;
            });
            dialog->reject();
            return true;
        });
        Choose("Open...");
    });
    listed.sort();
    EXPECT_EQ(listed, QStringList({"Classic", "Plain folder", "Shown.app", "run"}));
}

TEST(MessageBoxes, ARouteFailureShowsItsExactTextAndAnEscapedExceptionIsNamed)
{
    TempFolder temp;
    const fs::path empty = MakeBundle(temp.Path(), "Empty", "");
    std::vector<BoxSeen> seen;
    bool wentOn = false;
    RunVeilor(temp / "run", {empty.string()}, [&] {
        auto watcher = WatchBoxes(seen);
        WaitUntil([&] { return seen.size() == 1; });
        RuntimeHandle([] { throw NilObjectException(); });
        wentOn = true;
    });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].text, "No plst resource in file Empty.app.");
    EXPECT_EQ(seen[1].text, "An exception of class NilObjectException was not handled.");
    EXPECT_TRUE(wentOn);
}
