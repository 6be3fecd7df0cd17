// The main window: its look, close requests, and drops of real file URLs.

#include "gui_support.h"

#include "framework/qt/qt_widgets.h"
#include "framework/qt/runtime.h"
#include "framework/qt/window.h"
#include "ui/main_window.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

using namespace gui_test;

namespace {

QLabel* Label(const char* name)
{
    WindowRef window = RuntimeGetImplicitWindow("MainWindow.MainWindow");
    ControlRef control = window ? RuntimeWindowControlByName(*window, name) : nullptr;
    return control ? qobject_cast<QLabel*>(QtWidgetOf(*control)) : nullptr;
}

QUrl FileUrl(const fs::path& path)
{
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

std::unique_ptr<QMimeData> Urls(const QList<QUrl>& urls)
{
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

bool DragAccepted(QMainWindow* window, const QMimeData& mime)
{
    QDragEnterEvent enter(QPoint(150, 70), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    return enter.isAccepted();
}

// As a file manager drops: the drag enters first, then the drop follows.
void Drop(QMainWindow* window, const QMimeData& mime)
{
    DragAccepted(window, mime);
    QDropEvent drop(QPointF(150, 70), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
}

}  // namespace

TEST(MainWindow, HasItsSizeFlagsTitleAndTexts)
{
    TempFolder temp;
    RunVeilor(temp.Path() / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), "Veilor");
        QWidget* content = window->centralWidget();
        EXPECT_EQ(content->size(), QSize(300, 140));
        EXPECT_EQ(content->minimumSize(), QSize(300, 140));
        EXPECT_EQ(content->maximumSize(), QSize(300, 140));
        EXPECT_EQ(window->layout()->sizeConstraint(), QLayout::SetFixedSize);
        EXPECT_TRUE(window->menuBar()->isVisible());
        const Qt::WindowFlags flags = window->windowFlags();
        for (Qt::WindowType button : {Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
                                      Qt::WindowMaximizeButtonHint}) {
            EXPECT_FALSE(flags.testFlag(button)) << button;
        }

        const struct {
            const char* name;
            QRect geometry;
            QString text;
            Qt::Alignment horizontal;
            bool wrap;
        } controls[] = {
            {"StaticText1", QRect(20, 14, 260, 106),
             "Drop your Mac application here.\nYour application will be modified to run invisible.\n"
             "(no Menubar, no Dock icon)",
             Qt::AlignLeft, true},
            {"StaticText2", QRect(20, 100, 260, 20), "Free software for Mac applications on Linux",
             Qt::AlignHCenter, false},
        };
        for (const auto& c : controls) {
            SCOPED_TRACE(c.name);
            QLabel* label = Label(c.name);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->parentWidget(), content);
            EXPECT_EQ(label->geometry(), c.geometry);
            EXPECT_EQ(label->text(), c.text);
            EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, c.horizontal);
            EXPECT_EQ(label->wordWrap(), c.wrap);
            EXPECT_TRUE(label->isVisible());
        }
        QLabel* credit = Label("StaticText2");
        EXPECT_LT(credit->font().pointSizeF(), Label("StaticText1")->font().pointSizeF());
        EXPECT_LE(credit->fontMetrics().horizontalAdvance(credit->text()), 260);
        // The instructions show as their three lines: none wraps inside the column.
        QLabel* instructions = Label("StaticText1");
        const QStringList lines = instructions->text().split('\n');
        ASSERT_EQ(lines.size(), 3);
        for (const QString& line : lines)
            EXPECT_LE(instructions->fontMetrics().horizontalAdvance(line), 260) << line.toStdString();
        EXPECT_LT(instructions->heightForWidth(260), 4 * instructions->fontMetrics().lineSpacing());
    });
}

TEST(MainWindow, IgnoresCloseRequests)
{
    TempFolder temp;
    RunVeilor(temp.Path() / "run", {}, [&] {
        QMainWindow* window = MainQtWindow();
        EXPECT_FALSE(window->close());
        QCoreApplication::processEvents();
        EXPECT_TRUE(window->isVisible());
        EXPECT_NE(RuntimeGetImplicitWindow("MainWindow.MainWindow"), nullptr);
        EXPECT_EQ(MainWindow(), RuntimeGetImplicitWindow("MainWindow.MainWindow"));
        EXPECT_EQ(RuntimeWindowList().size(), 1u);
    });
}

TEST(MainWindow, DropsPatchEveryApplicationInOrderAndSkipOtherItems)
{
    TempFolder temp;
    const fs::path a = MakeBundle(temp.Path(), "Alpha");
    const fs::path b = MakeClassicApp(temp.Path(), "Beta");
    const fs::path c = MakeBundle(temp.Path(), "Gamma");
    const fs::path text = temp.Path() / "readme.txt";
    WriteFile(text, "just text\n");
    const QUrl web("https://example.org/app.html");

    const struct {
        const char* name;
        QList<QUrl> urls;
        bool accepted;
        std::vector<fs::path> patched;
    } cases[] = {
        {"three applications", {FileUrl(a), FileUrl(b), FileUrl(c)}, true, {a, b, c}},
        {"web link second", {FileUrl(a), web, FileUrl(c)}, true, {a, c}},
        {"text document second", {FileUrl(a), FileUrl(text), FileUrl(b)}, true, {a, b}},
        {"nothing an application", {FileUrl(text), web}, false, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        for (const fs::path& app : {a, c}) WriteFile(app / "Contents" / "Info.plist", kInfoPlist);
        MakeClassicApp(temp.Path(), "Beta");
        RunVeilor(temp.Path() / "run", {}, [&] {
            QMainWindow* window = MainQtWindow();
            int messages = 0;
            ModalWatcher watcher([&](QWidget* modal) {
                ++messages;
                modal->close();
                return true;
            });
            auto mime = Urls(testCase.urls);
            EXPECT_EQ(DragAccepted(window, *mime), testCase.accepted);
            Drop(window, *mime);
            const std::vector<fs::path>& want = testCase.patched;
            auto allPatched = [&] {
                return std::all_of(want.begin(), want.end(), [&](const fs::path& p) {
                    return p == b ? ClassicAppPatched(p) : BundlePatched(p);
                });
            };
            EXPECT_TRUE(WaitUntil(allPatched));
            QCoreApplication::processEvents();
            EXPECT_EQ(messages, 0);
        });
        const std::vector<fs::path>& want = testCase.patched;
        auto wanted = [&](const fs::path& p) { return std::find(want.begin(), want.end(), p) != want.end(); };
        EXPECT_EQ(BundlePatched(a), wanted(a));
        EXPECT_EQ(ClassicAppPatched(b), wanted(b));
        EXPECT_EQ(BundlePatched(c), wanted(c));
        EXPECT_EQ(ReadFile(text), "just text\n");
        const auto& record = RuntimeCallRecord();
        EXPECT_EQ(std::count(record.begin(), record.end(), "DropObject"), testCase.accepted ? 1 : 0);
    }
}

TEST(MainWindow, DroppedItemsAreProcessedOneAfterAnotherInDropOrder)
{
    TempFolder temp;
    const fs::path first = MakeBundle(temp.Path(), "First", "");
    const fs::path middle = MakeBundle(temp.Path(), "Middle");
    const fs::path last = MakeBundle(temp.Path(), "Last", "");
    std::vector<std::pair<QString, bool>> messages;  // text, middle patched by then
    RunVeilor(temp.Path() / "run", {}, [&] {
        ModalWatcher watcher([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            messages.emplace_back(box->text(), BundlePatched(middle));
            box->accept();
            return true;
        });
        auto mime = Urls({FileUrl(first), FileUrl(middle), FileUrl(last)});
        Drop(MainQtWindow(), *mime);
        WaitUntil([&] { return messages.size() == 2; });
    });
    const std::vector<std::pair<QString, bool>> expected{
        {"No plst resource in file First.app.", false},
        {"No plst resource in file Last.app.", true},
    };
    EXPECT_EQ(messages, expected);
}
