// SPDX-License-Identifier: MIT
#pragma once
// What the window's parts (window, drops, controls, font fitting) share; not for the program.

#include "window.h"

#include <QColor>
#include <QMainWindow>
#include <QPalette>

#include <string>
#include <variant>
#include <vector>

class QCloseEvent;
class QDragEnterEvent;
class QDragLeaveEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;

template <class T>
T As(const PropertyValue& value)
{
    const T* held = std::get_if<T>(&value);
    return held ? *held : T{};
}

inline QColor ToQColor(const Color& color)
{
    return QColor(color.red, color.green, color.blue);
}

// The Qt window behind a Window: it refuses closing without a close button and takes drops.
class QtWindow : public QMainWindow {
public:
    explicit QtWindow(Window& owner) : mOwner(owner) {}

    bool closeButton = true;
    std::vector<std::string> acceptedTypes;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    Window& mOwner;
    // Decided once, when the drag enters: one entry per URL, nil where it is no accepted file.
    std::vector<FolderItemRef> mDragged;
    bool mHighlighted = false;
    bool mFilledBefore = false;
    QPalette mPaletteBefore;

    std::vector<FolderItemRef> Items(const QMimeData* mime) const;
    bool AnyDragged() const;
    void ShowAsDropTarget(bool on);
};

// The reference the window list holds for the window, or nil once it is released.
WindowRef SharedWindow(const Window& window);
