// SPDX-License-Identifier: MIT
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

#include <array>

using namespace gui_test;

namespace {

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

TEST(MessageBoxes, TheAboutBoxARouteFailureAndAnEscapedExceptionShowTheirExactTexts)
{
    TempFolder temp;
    const fs::path empty = MakeBundle(temp.Path(), "Empty", "");
    std::vector<std::array<QString, 3>> seen;  // title, text, explanation
    bool wentOn = false;
    RunVeilor(temp / "run", {empty.string()}, [&] {
        ModalWatcher watcher([&seen](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            seen.push_back({box->windowTitle(), box->text(), box->informativeText()});
            box->accept();
            return true;
        });
        WaitUntil([&] { return seen.size() == 1; });
        Choose("About Veilor...");
        Choose("About Veilor...");  // made afresh each time
        RuntimeHandle([] { throw NilObjectException(); });
        wentOn = true;
    });
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0][1], "No plst resource in file Empty.app.");
    for (const auto& about : {seen[1], seen[2]}) {
        EXPECT_EQ(about[0], "About");
        const QStringList parts = about[1].split('\n');
        ASSERT_EQ(parts.size(), 3);  // exactly two line ends
        EXPECT_EQ(parts[0], "Veilor 1.0.0");
        EXPECT_TRUE(parts[1].isEmpty());
        EXPECT_FALSE(parts[2].isEmpty());
        EXPECT_EQ(about[2], QString::fromStdString("Using " + Zorp::ZorpPluginVersion()));
    }
    EXPECT_EQ(seen[3][1], "An exception of class NilObjectException was not handled.");
    EXPECT_TRUE(wentOn);
}

TEST(OpenCommand, ListsFoldersAndApplicationsOnlyPatchesTheChosenOneAndCancelDoesNothing)
{
    TempFolder temp;
    const fs::path app = MakeBundle(temp.Path(), "Chosen");
    MakeClassicApp(temp.Path(), "Classic");
    fs::create_directories(temp / "Plain folder");
    WriteBytes(temp / "letter.txt", "text\n");
    const QString here = QString::fromStdString(temp.Path().string());
    // Chosen through the menu; cancelled after Ctrl+O, which works before any recompute enabled Open.
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "chosen");
        WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
        QStringList listed;
        int dialogs = 0, others = 0;
        RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                if (!dialog) {
                    ++others;
                    modal->close();
                    return true;
                }
                if (cancel) {
                    dialog->reject();
                    return true;
                }
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
                // As the user types it: selectFile leaves the name field alone once it has focus.
                auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                if (!name) return false;
                name->setText("Chosen.app");
                static_cast<QDialog*>(dialog)->accept();
                return true;
            });
            if (cancel) {
                Use(App()).MenuBar()->_Lookup("FileOpen")->SetEnabled(false);
                FindAction(MainQtWindow(), "Open...")->setEnabled(false);
                QApplication::setActiveWindow(MainQtWindow());
                QTest::keyClick(MainQtWindow(), Qt::Key_O, Qt::ControlModifier);
            } else {
                Choose("Open...");
            }
            WaitUntil([&] { return cancel ? watcher.Seen() > 0 : Patched(app); });
            dialogs = watcher.Seen() - others;
        });
        EXPECT_EQ(dialogs, 1);
        EXPECT_EQ(others, 0);
        EXPECT_EQ(ReadBytes(app / "Contents" / "Info.plist") == kInfoPlist, cancel);
        EXPECT_EQ(Patched(app), !cancel);
        listed.sort();
        EXPECT_EQ(listed, cancel ? QStringList() : QStringList({"Chosen.app", "Classic", "Plain folder", "run"}));
    }
}
