// SPDX-License-Identifier: MIT
// The Open dialog, the About box, message boxes and the framework's unhandled-exception box.

#include "gui_support.h"

#include "app/app.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/qt/qt_internal.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/zorp_plugin.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QAction>
#include <QComboBox>
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
    std::vector<std::array<QString, 4>> seen;  // title, text, explanation, application name then
    bool wentOn = false;
    const int status = RunVeilor(temp / "run", {empty.string()}, [&] {
        ModalWatcher watcher([&seen](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            seen.push_back({box->windowTitle(), box->text(), box->informativeText(),
                            QGuiApplication::applicationDisplayName()});
            box->accept();
            return true;
        });
        EXPECT_TRUE(WaitUntil([&] { return seen.size() == 1; }));
        Choose("About Veilor...");
        Choose("About Veilor...");  // made afresh each time
        RuntimeHandle([] { throw NilObjectException(); });
        wentOn = true;
    });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0][1], "No plst resource in file Empty.app.");
    for (const auto& about : {seen[1], seen[2]}) {
        EXPECT_EQ(about[0], "About");
        EXPECT_TRUE(about[0].endsWith(about[3])) << "the window system would show it with its own suffix";
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

TEST(OpenCommand, ListsApplicationsPatchesOnlyAnExplicitChoiceAndStartsBesideTheLastOne)
{
    TempFolder temp;
    const fs::path app = MakeBundle(temp.Path(), "Chosen");
    MakeClassicApp(temp.Path(), "Classic");
    fs::create_directories(temp / "Plain folder");
    WriteBytes(temp / "letter.txt", "text\n");
    const QString here = QString::fromStdString(temp.Path().string());
    const QString bundle = QString::fromStdString(app.string());
    enum class How { Typed, DoubleClicked, Cancelled };
    for (How how : {How::Typed, How::DoubleClicked, How::Cancelled}) {
        SCOPED_TRACE(int(how));
        WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
        QStringList listed;
        QString filterShown, startedIn;
        bool patchedByBrowsing = true, stayedOpen = false;
        int dialogs = 0, others = 0;
        const int status = RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                if (!dialog) {
                    ++others;
                    modal->close();
                    return true;
                }
                if (++dialogs == 2) {
                    // Reaching the bundle by its Contents and the parent button only shows it.
                    startedIn = dialog->directory().absolutePath();
                    dialog->setDirectory(bundle + "/Contents");
                    auto* parent = dialog->findChild<QAbstractButton*>("toParentButton");
                    if (!parent) return false;
                    parent->click();
                    QCoreApplication::processEvents();
                    stayedOpen = dialog->isVisible() && dialog->directory().absolutePath() == bundle;
                    patchedByBrowsing = Patched(app);
                    dialog->reject();
                    return true;
                }
                if (how == How::Cancelled) {
                    dialog->reject();
                    return true;
                }
                auto* type = dialog->findChild<QComboBox*>("fileTypeCombo");
                filterShown = type ? type->currentText() : QString();
                dialog->setDirectory(here);
                QAbstractProxyModel* model = dialog->proxyModel();
                auto* files = qobject_cast<QFileSystemModel*>(model->sourceModel());
                EXPECT_TRUE(WaitUntil([&] {
                    const QModelIndex folder = model->mapFromSource(files->index(here));
                    listed.clear();
                    for (int row = 0; row < model->rowCount(folder); ++row)
                        listed << model->index(row, 0, folder).data().toString();
                    return listed.size() >= 3;
                }));
                if (how == How::DoubleClicked) {
                    for (auto* view : dialog->findChildren<QAbstractItemView*>()) {
                        if (!view->isVisible() || view->model() != model) continue;
                        const QModelIndex index = model->mapFromSource(files->index(bundle));
                        view->scrollTo(index);
                        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                                           view->visualRect(index).center());
                        return true;
                    }
                    return false;
                }
                // As the user types it: selectFile leaves the name field alone once it has focus.
                auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                if (!name) return false;
                name->setText("Chosen.app");
                static_cast<QDialog*>(dialog)->accept();
                return true;
            });
            if (how == How::Cancelled) {
                Use(App()).MenuBar()->_Lookup("FileOpen")->SetEnabled(false);
                FindAction(MainQtWindow(), "Open...")->setEnabled(false);
                QApplication::setActiveWindow(MainQtWindow());
                QTest::keyClick(MainQtWindow(), Qt::Key_O, Qt::ControlModifier);
                EXPECT_TRUE(WaitUntil([&] { return watcher.Seen() > 0; }));
                return;
            }
            Choose("Open...");
            EXPECT_TRUE(WaitUntil([&] { return Patched(app); }));
            if (how != How::DoubleClicked) return;
            WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
            Choose("Open...");
            EXPECT_TRUE(WaitUntil([&] { return dialogs == 2 && !QApplication::activeModalWidget(); }));
            EXPECT_EQ(startedIn, here);
            EXPECT_TRUE(stayedOpen);
            EXPECT_FALSE(patchedByBrowsing);
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(dialogs, how == How::DoubleClicked ? 2 : 1);
        EXPECT_EQ(others, 0);
        EXPECT_EQ(Patched(app), how == How::Typed);
        if (how == How::Cancelled) continue;
        EXPECT_EQ(filterShown, "Applications");
        listed.sort();
        EXPECT_EQ(listed, QStringList({"Chosen.app", "Classic", "Plain folder", "run"}));
    }
}
