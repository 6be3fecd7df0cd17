// SPDX-License-Identifier: MIT
#pragma once
// What the window's parts (window, drops, controls, font fitting) share; not for the program.

#include "window.h"

#include <QColor>
#include <QMainWindow>
#include <QPalette>

#include <cassert>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class QCloseEvent;
class QDragEnterEvent;
class QDragLeaveEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;

// A value of the wrong type is a mistake in a window's property table: debug builds stop on it,
// others say so on standard error and take the type's empty value.
template <class T>
T As(std::string_view name, const PropertyValue& value)
{
    if (const T* held = std::get_if<T>(&value)) return *held;
    std::fprintf(stderr, "veilor: the property %.*s was given a value of another type\n", int(name.size()),
                 name.data());
    assert(!"property of the wrong type");
    return T{};
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
