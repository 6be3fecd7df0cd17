// SPDX-License-Identifier: MIT
#pragma once
// The application object: application events, the two menu commands, and the patcher.

#include "patcher/patcher.h"
#include "platform/framework/qt/application.h"
#include "platform/framework/qt/menu.h"

#include <memory>

class App : public Application, public Patcher {
public:
    void Event_EnableMenuItems() override;
    void Event_OpenDocument(const FolderItemRef& item) override;
    virtual bool _FileOpen_Action();
    virtual bool _AppleAboutVeilor_Action();
};

using AppRef = std::shared_ptr<App>;

// The registered application object, or nil before it is registered.
AppRef App();
// The menu items of those names in the application's menu bar, looked up afresh each time.
MenuItemRef FileOpen();
MenuItemRef AppleAboutVeilor();
