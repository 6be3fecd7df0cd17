// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

void Patcher::Process(const FolderItemRef& item)
{
    if (Use(item).Directory())
        ProcessPackage(item);
    else
        ProcessRes(item);
    // Not reached when a route raises: the exception passes on without the refresh.
    Refresh(item);
}

void Patcher::Refresh(const FolderItemRef& item)
{
    Zorp::FinderUpdateZorp(item);
}
