// SPDX-License-Identifier: MIT
#pragma once
// For start-up measurements: with VEILOR_QUIT_WHEN_SHOWN set, the program prints "shown" on
// standard output once its first window is exposed and painted, and quits. In a header of its own,
// Qt only, so that the bare Qt window the benchmark compares with uses the very same hook.

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>

class QuitWhenShown : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* object, QEvent* event) override
    {
        const auto* window = qobject_cast<QWindow*>(object);
        if (mSeen || event->type() != QEvent::Expose || !window || !window->isExposed()) return false;
        mSeen = true;
        // The expose is painted as it is handled, after this filter: the timer runs once it is.
        QTimer::singleShot(0, qApp, [] {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
        return false;
    }

private:
    bool mSeen = false;
};

// Call once the application object exists; does nothing unless VEILOR_QUIT_WHEN_SHOWN is set.
inline void QuitWhenShownIfAsked()
{
    if (qEnvironmentVariableIsEmpty("VEILOR_QUIT_WHEN_SHOWN")) return;
    qApp->installEventFilter(new QuitWhenShown(qApp));  // owned by the application object
}
