// SPDX-License-Identifier: MIT
// The main window: its look, close requests, and drops of real file URLs.

#include "gui_support.h"

#include "platform/framework/qt/qt_widgets.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/qt/window.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

using namespace gui_test;

namespace {

const auto FileUrl = [](const fs::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
};

QLabel* Label(const char* name)
{
    WindowRef window = RuntimeGetImplicitWindow("MainWindow.MainWindow");
    ControlRef control = window ? RuntimeWindowControlByName(*window, name) : nullptr;
    return control ? qobject_cast<QLabel*>(QtWidgetOf(*control)) : nullptr;
}

struct Dragged {
    bool entered, moved, dropped;
    bool highlighted;     // while the drag was over the window
    bool highlightAfter;  // once it dropped
};

bool Highlighted()
{
    const QWidget* content = MainQtWindow()->centralWidget();
    return content->autoFillBackground() &&
           content->palette().color(QPalette::Window) == content->palette().color(QPalette::Highlight);
}

// As a file manager drops: the drag enters, moves over the window, then drops. `meanwhile`
// runs after it entered.
Dragged Drop(const QList<QUrl>& urls, const std::function<void()>& meanwhile)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(150, 70), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &enter);
    const bool highlighted = Highlighted();
    if (meanwhile) meanwhile();
    QDragMoveEvent move(QPoint(160, 80), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &move);
    QDropEvent drop(QPointF(160, 80), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainQtWindow(), &drop);
    return {enter.isAccepted(), move.isAccepted(), drop.isAccepted(), highlighted, Highlighted()};
}

}  // namespace

TEST(MainWindow, ShowsEveryLineWholeAndIgnoresCloseRequests)
{
    TempFolder temp;
    const int status = RunVeilor(temp / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        // The fitted fonts leave no line wrapping inside its column.
        for (const char* name : {"StaticText1", "StaticText2"}) {
            QLabel* label = Label(name);
            ASSERT_NE(label, nullptr);
            for (const QString& line : label->text().split('\n'))
                EXPECT_LE(label->fontMetrics().horizontalAdvance(line), label->width()) << line.toStdString();
        }
        EXPECT_FALSE(window->close());
        QCoreApplication::processEvents();
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(RuntimeWindowList().size(), 1u);
    });
    EXPECT_EQ(status, 0);
}

TEST(MainWindow, DropsShowTheTargetAndPatchEveryApplicationOneAfterAnotherSkippingOtherItems)
{
    TempFolder temp;
    const fs::path a = MakeBundle(temp.Path(), "Alpha"), b = MakeClassicApp(temp.Path(), "Beta"),
                   c = MakeBundle(temp.Path(), "Gamma"), first = MakeBundle(temp.Path(), "First", ""),
                   last = MakeBundle(temp.Path(), "Last", ""), text = temp / "readme.txt";
    WriteBytes(text, "just text\n");
    const QUrl web("https://example.org/app.html");

    using Boxes = std::vector<std::pair<QString, bool>>;  // text, Alpha patched by then
    const Boxes failures{{"No plst resource in file First.app.", false},
                         {"No plst resource in file Last.app.", true}};
    const struct {
        const char* name;
        QList<QUrl> urls;
        bool accepted;
        std::vector<fs::path> patched;
        Boxes boxes;
        std::function<void()> meanwhile = {};
    } cases[] = {
        {"three applications", {FileUrl(a), FileUrl(b), FileUrl(c)}, true, {a, b, c}, {}},
        {"web link second", {FileUrl(a), web, FileUrl(c)}, true, {a, c}, {}},
        {"text document second", {FileUrl(a), FileUrl(text), FileUrl(b)}, true, {a, b}, {}},
        {"nothing an application", {FileUrl(text), web}, false, {}, {}},
        {"failures around an application", {FileUrl(first), FileUrl(a), FileUrl(last)}, true, {a}, failures},
        // What the drag carries is judged once, when it enters, not again on every move.
        {"companion gone once it entered", {FileUrl(b)}, true, {}, {}, [&] { fs::remove(temp / "._Beta"); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const std::vector<fs::path>& want = testCase.patched;
        for (const fs::path& app : {a, c}) WriteBytes(app / "Contents" / "Info.plist", kInfoPlist);
        MakeClassicApp(temp.Path(), "Beta");
        Boxes boxes;
        const int status = RunVeilor(temp / "run", {}, [&] {
            ModalWatcher watcher([&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                boxes.emplace_back(box ? box->text() : QString(), Patched(a));
                modal->close();
                return true;
            });
            const Dragged dragged = Drop(testCase.urls, testCase.meanwhile);
            EXPECT_EQ(dragged.entered, testCase.accepted);
            EXPECT_EQ(dragged.moved, testCase.accepted);
            EXPECT_EQ(dragged.dropped, testCase.accepted);
            EXPECT_EQ(dragged.highlighted, testCase.accepted);
            EXPECT_FALSE(dragged.highlightAfter);
            EXPECT_TRUE(WaitUntil([&] {
                return boxes.size() >= testCase.boxes.size() &&
                       std::all_of(want.begin(), want.end(), Patched);
            }));
            QCoreApplication::processEvents();
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(boxes, testCase.boxes);
        for (const fs::path& app : {a, b, c})
            EXPECT_EQ(Patched(app), std::find(want.begin(), want.end(), app) != want.end()) << app;
        EXPECT_EQ(ReadBytes(text), "just text\n");
    }
}
