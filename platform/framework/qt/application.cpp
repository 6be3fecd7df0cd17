// SPDX-License-Identifier: MIT
#include "application.h"

#include "runtime.h"

void Application::_AddMenuHandler(const std::string& itemName, MenuHandler handler)
{
    RuntimeRecordCall("_AddMenuHandler " + itemName);
    mMenuHandlers[itemName] = std::move(handler);
}

bool Application::RunMenuHandler(const std::string& itemName)
{
    auto found = mMenuHandlers.find(itemName);
    if (found == mMenuHandlers.end()) return false;
    MenuHandler handler = found->second;  // a handler may bind others while it runs
    return handler();
}

void Application::SetMenuBar(const MenuBarRef& bar)
{
    RuntimeRecordCall("Application.MenuBar");
    mMenuBar = bar;
}

std::string Application::LongVersion() const
{
    return VEILOR_NAME " " VEILOR_VERSION;
}

std::string Application::PackageInfo() const
{
    return VEILOR_DESCRIPTION;
}
