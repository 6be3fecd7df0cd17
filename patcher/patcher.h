// SPDX-License-Identifier: MIT
#pragma once
// The agent-flag patcher: routes a target item to the bundle or the resource-fork route. A route
// changes nothing on disk: it hands back what it made of the item, and its caller commits an edit,
// then refreshes the item. The application object is a Patcher; the console tool uses one too.

#include "platform/framework/file_error.h"
#include "platform/framework/file_replacement.h"
#include "platform/framework/folder_item.h"

#include <string>
#include <utility>

struct RouteOutcome {
    enum class Kind {
        LeftAlone,  // `reason` says why: nothing for a route to do
        Unchanged,  // the list holds NSUIElement already
        Failed,     // `message` is what the user is told; `cause`, what the files layer said
        Edited,     // `rewrite` is the new content, `message` what to tell if it cannot be written
        Patched,    // an edit committed: in place and on disk
    };
    enum class Reason {
        None,
        NotApplication,  // neither a folder with Contents/Info.plist nor an "APPL" file
        NoDictionary,    // its property list does not parse to a dictionary
    };
    Kind kind = Kind::Unchanged;
    Reason reason = Reason::None;
    std::string message;
    FileError cause;
    FileRewrite rewrite;

    static RouteOutcome LeftAlone(Reason why) { return {Kind::LeftAlone, why, {}, {}, {}}; }
    static RouteOutcome Failure(std::string message, FileError cause = {})
    {
        return {Kind::Failed, Reason::None, std::move(message), cause, {}};
    }
    static RouteOutcome Edit(FileRewrite rewrite, std::string writeFailed)
    {
        return {Kind::Edited, Reason::None, std::move(writeFailed), {}, std::move(rewrite)};
    }
};

class Patcher {
public:
    virtual ~Patcher() = default;

    // The window's road: the route, its edit committed at once, a failure told in a message box,
    // then the refresh.
    virtual void Process(const FolderItemRef& item);
    // The route `Process` takes: the bundle route for a folder, else the resource-fork route.
    RouteOutcome Route(const FolderItemRef& item);
    virtual RouteOutcome ProcessRes(const FolderItemRef& item);
    virtual RouteOutcome ProcessPackage(const FolderItemRef& item);

protected:
    // The step both routes end with. An empty list is told, one that is not a dictionary left
    // alone, one that has the flag already unchanged; else Edited, with the new list as
    // `rewrite.bytes` for the route to place.
    static RouteOutcome AgentFlagAdded(const FolderItemRef& item, const std::string& text);
};

// An edit once its commit is known: Patched, or Failed with the edit's message and the cause.
RouteOutcome Committed(RouteOutcome edited, FileError error);
// Wakes file managers for the item when its Contents/Info.plist or companion is newer than the
// item, whatever its route did: the same rule on every road, after the commit.
void Refresh(const FolderItemRef& item);
