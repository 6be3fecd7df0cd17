// SPDX-License-Identifier: MIT
// Veilor's window made straight with Qt Widgets, for the start-up benchmark to compare Veilor
// with: the same size, menus and texts, none of Veilor's layers. With --empty, an empty QWidget.

#include "platform/framework/qt/quit_when_shown.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>

#include <cstring>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QuitWhenShownIfAsked();
    if (argc > 1 && std::strcmp(argv[1], "--empty") == 0) {
        QWidget window;
        window.resize(300, 140);
        window.show();
        return QApplication::exec();
    }
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Veilor"));
    QMenu* file = window.menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("Open..."))->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    file->addSeparator();
    file->addAction(QStringLiteral("Quit"))->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QMenu* edit = window.menuBar()->addMenu(QStringLiteral("&Edit"));
    for (const char* item : {"&Undo", "-", "Cu&t", "&Copy", "&Paste", "Clear"})
        *item == '-' ? (void)edit->addSeparator() : (void)edit->addAction(QString::fromUtf8(item));
    window.menuBar()->addMenu(QStringLiteral("&Help"))->addAction(QStringLiteral("About Veilor..."));
    auto* content = new QWidget(&window);  // owned by the window
    auto* instructions = new QLabel(QStringLiteral("Drop your Mac application here.\n"
                                                   "Your application will be modified to run invisible.\n"
                                                   "(no Menubar, no Dock icon)"),
                                    content);
    instructions->setGeometry(20, 14, 260, 106);
    auto* credit = new QLabel(QStringLiteral("Free software for Mac applications on Linux"), content);
    credit->setGeometry(20, 100, 260, 20);
    credit->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(content);
    content->setFixedSize(300, 140);
    window.show();
    return QApplication::exec();
}
