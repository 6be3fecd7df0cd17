// SPDX-License-Identifier: MIT
#pragma once
// The agent-flag patcher: routes a target item to the bundle or the resource-fork route.
// The application object is a Patcher; so is the console tool.

#include "platform/framework/folder_item.h"

class Patcher {
public:
    virtual ~Patcher() = default;

    virtual void Process(const FolderItemRef& item);
    virtual void ProcessRes(const FolderItemRef& item);
    virtual void ProcessPackage(const FolderItemRef& item);
};
