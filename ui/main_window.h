// SPDX-License-Identifier: MIT
#pragma once
// The program's one window: the instructions, a credit line, and the drop target.

#include "platform/framework/qt/menu.h"
#include "platform/framework/qt/window.h"

#include <memory>

class MainWindow : public Window {
public:
    MainWindow();

    void Layout() override;
    void CreateControls() override;
    virtual void _CreateControls0();

    // The items of the shared menu bar, by name; the program itself does not use them.
    MenuItemRef EditMenu() const;
    MenuItemRef EditClear() const;
    MenuItemRef EditPaste() const;
    MenuItemRef EditCopy() const;
    MenuItemRef EditCut() const;
    MenuItemRef UntitledMenu0() const;
    MenuItemRef EditUndo() const;
    MenuItemRef FileMenu() const;
    std::shared_ptr<QuitMenuItem> FileQuit() const;
    MenuItemRef UntitledMenu1() const;
    MenuItemRef FileOpen() const;
    MenuItemRef AppleAboutVeilor() const;

    void AddMenuHandlers() override;
    void Event_DropObject(DragItem& obj, std::int32_t action) override;
    void Event_Open() override;

private:
    MenuItemRef MenuItemNamed(const std::string& name) const;
};

using MainWindowRef = std::shared_ptr<MainWindow>;

// The open main window; made and opened on first use.
MainWindowRef MainWindow();
