// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "messages.h"
#include "platform/framework/msgbox.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/resource_fork.h"

#include <new>

// An allocation failure ends this item alone, as a companion too large to open would.
void Patcher::ProcessRes(const FolderItemRef& item)
try {
    // A type that could not be read is no sign of a document: the item fails as its fork would.
    const std::optional<std::string> type = Use(item).LookUpMacType();
    if (!type) {
        MsgBox(messages::OpenForkFailed(item->DisplayName()));
        return;
    }
    // Type codes are case-sensitive: "appl" is not an application.
    if (*type != "APPL") return LeftAlone(item, Reason::NotApplication);

    ResourceForkRef fork = item->OpenResourceFork();
    if (!fork) {
        MsgBox(messages::OpenForkFailed(item->DisplayName()));
        return;
    }

    std::string text = fork->GetResource("plst", 0);
    const std::optional<std::string> edited = AgentFlagAdded(item, text);
    if (!edited) return;

    fork->AddResource(*edited, "plst", 0, "");
    // The fork would commit on release too; committing here is what lets a failure be told.
    if (!fork->Commit()) MsgBox(messages::WriteForkFailed(item->DisplayName()));
} catch (const std::bad_alloc&) {
    MsgBox(messages::OpenForkFailed(item->DisplayName()));
}
