// SPDX-License-Identifier: MIT
#pragma once
// The menu tree: menus and items found by name. Texts keep "&" before the access letter, "-"
// is a separator, and shortcuts are written "Cmd+O" (the Ctrl key on Linux).

#include "platform/files/non_copyable.h"
#include <memory>
#include <string>
#include <vector>

class MenuItem;
using MenuItemRef = std::shared_ptr<MenuItem>;
class MenuBar;
using MenuBarRef = std::shared_ptr<MenuBar>;

class MenuItem : NonCopyable {
public:
    virtual ~MenuItem() = default;

    const std::string& Name() const { return mName; }
    void SetName(std::string name) { mName = std::move(name); }
    const std::string& Text() const { return mText; }
    void SetText(std::string text) { mText = std::move(text); }
    const std::string& KeyboardShortcut() const { return mKeyboardShortcut; }
    void SetKeyboardShortcut(std::string shortcut) { mKeyboardShortcut = std::move(shortcut); }
    // On: the framework enables the item whenever it recomputes the menus; off: it disables it.
    bool AutoEnable() const { return mAutoEnable; }
    void SetAutoEnable(bool on) { mAutoEnable = on; }
    bool Enabled() const { return mEnabled; }
    void SetEnabled(bool on) { mEnabled = on; }
    void Enable() { mEnabled = true; }

    bool IsSeparator() const { return mText == "-"; }

    void Append(const MenuItemRef& item);
    std::size_t Count() const { return mChildren.size(); }
    MenuItemRef Item(std::size_t index) const;
    // The direct child of that name, or nil.
    MenuItemRef Child(const std::string& name) const;

private:
    std::string mName;
    std::string mText;
    std::string mKeyboardShortcut;
    bool mAutoEnable = true;
    bool mEnabled = true;
    std::vector<MenuItemRef> mChildren;
};

// Choosing it runs the framework's quit action.
class QuitMenuItem : public MenuItem {};

// Shown in the application's own menu ("&Help" on Linux), wherever it was appended.
class AppleMenuItem : public MenuItem {};

// A menu item whose children are the menus.
class MenuBar : public MenuItem {
public:
    // The item of that name at any depth, or nil.
    MenuItemRef _Lookup(const std::string& name) const;
};

// "Cmd+O" as the Linux key sequence text "Ctrl+O"; other modifiers keep their names.
std::string LinuxShortcut(const std::string& shortcut);
