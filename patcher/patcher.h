// SPDX-License-Identifier: MIT
#pragma once
// The agent-flag patcher: routes a target item to the bundle or the resource-fork route.
// The application object is a Patcher; so is the console tool.

#include "platform/framework/folder_item.h"

#include <optional>
#include <string>

class Patcher {
public:
    virtual ~Patcher() = default;

    virtual void Process(const FolderItemRef& item);
    virtual void ProcessRes(const FolderItemRef& item);
    virtual void ProcessPackage(const FolderItemRef& item);

protected:
    enum class Reason {
        NotApplication,  // neither a folder with Contents/Info.plist nor an "APPL" file
        NoDictionary,    // its property list does not parse to a dictionary
    };
    // The routes stop without a word where there is nothing for them to do; the window keeps
    // quiet, a console reports it.
    virtual void LeftAlone(const FolderItemRef& item, Reason why) { (void)item, (void)why; }
    // The step both routes end with: the item's list with the agent flag added, or nothing to
    // write, once an empty list is told and one that is not a dictionary noted as left alone.
    std::optional<std::string> AgentFlagAdded(const FolderItemRef& item, const std::string& text);
    // What Process does after a route's normal return: FinderUpdateZorp.
    virtual void Refresh(const FolderItemRef& item);
};
