// SPDX-License-Identifier: MIT
#pragma once
// The application object: receives the application events and the menu commands.

#include "menu.h"
#include "platform/files/non_copyable.h"
#include "platform/framework/folder_item.h"

#include <exception>
#include <functional>
#include <map>
#include <string>

using MenuHandler = std::function<bool()>;

class Application : NonCopyable {
public:
    virtual ~Application() = default;

    // The events, in the order of the framework's event table; each default does nothing. There
    // is no HandleAppleEvent: no Apple event ever reaches a Linux program.
    virtual void Event_Open() {}
    virtual void Event_Close() {}
    virtual void Event_EnableMenuItems() {}
    // After Open, when the program was started with no document to open.
    virtual void Event_NewDocument() {}
    virtual void Event_OpenDocument(const FolderItemRef& /*item*/) {}
    // The program's windows gained or lost the keyboard focus of the desktop.
    virtual void Event_Activate() {}
    virtual void Event_Deactivate() {}
    // True when the program has dealt with the exception; otherwise the framework shows it.
    virtual bool Event_UnhandledException(const std::exception& /*error*/) { return false; }
    // Asked when Quit is chosen; true keeps the program running.
    virtual bool Event_CancelClose() { return false; }

    // Binds the menu item of that name to a handler; the handler's True means handled.
    void _AddMenuHandler(const std::string& itemName, MenuHandler handler);
    // The bound handler's answer, or false when the item has none.
    bool RunMenuHandler(const std::string& itemName);

    const MenuBarRef& MenuBar() const { return mMenuBar; }
    void SetMenuBar(const MenuBarRef& bar);

    // The built application's version information.
    std::string LongVersion() const;
    std::string PackageInfo() const;

private:
    MenuBarRef mMenuBar;
    std::map<std::string, MenuHandler> mMenuHandlers;
};
