// SPDX-License-Identifier: MIT
#pragma once
// The program's one menu bar: File, Edit and the About item.

#include "platform/framework/qt/menu.h"

#include <memory>

class MenuBar1 : public MenuBar {
public:
    MenuBar1();  // Untitled1, then Untitled2

    virtual void Untitled1();  // the File menu
    virtual void Untitled2();  // the Edit menu and the About item
};

using MenuBar1Ref = std::shared_ptr<MenuBar1>;

// The one instance, made and built on first use.
MenuBar1Ref MenuBar1();
// Module finalisation: drops the instance.
void ReleaseMenuBar1();
