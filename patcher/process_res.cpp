// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "messages.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/resource_fork.h"

#include <cerrno>
#include <new>

// An allocation failure ends this item alone, as a companion too large to open would.
RouteOutcome Patcher::ProcessRes(const FolderItemRef& item)
try {
    // A type that could not be read is no sign of a document: the item fails as its fork would.
    const std::optional<std::string> type = Use(item).LookUpMacType();
    if (!type)
        return RouteOutcome::Failure(messages::OpenForkFailed(item->DisplayName()), FailedAt(FileStep::Open));
    // Type codes are case-sensitive: "appl" is not an application.
    if (*type != "APPL") return RouteOutcome::LeftAlone(RouteOutcome::Reason::NotApplication);

    FileError error;
    ResourceForkRef fork = item->OpenResourceFork(true, error);
    if (!fork) return RouteOutcome::Failure(messages::OpenForkFailed(item->DisplayName()), error);

    std::string text = fork->GetResource("plst", 0);
    RouteOutcome outcome = AgentFlagAdded(item, text);
    if (outcome.kind != RouteOutcome::Kind::Edited) return outcome;

    fork->AddResource(outcome.writes.front().rewrite.bytes, "plst", 0, "");
    FileRewrite rewrite;
    if (FileError unwritable = fork->Rewrite(rewrite))
        return RouteOutcome::Failure(messages::WriteForkFailed(item->DisplayName()), unwritable);
    return RouteOutcome::Edit(std::move(rewrite), messages::WriteForkFailed(item->DisplayName()));
} catch (const std::bad_alloc&) {
    return RouteOutcome::Failure(messages::OpenForkFailed(item->DisplayName()), {FileStep::Open, ENOMEM});
}
