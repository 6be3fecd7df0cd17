// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "agent_flag.h"
#include "messages.h"
#include "platform/framework/msgbox.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <utility>
#include <vector>

void Patcher::Process(const FolderItemRef& item)
{
    // Not refreshed when the route raises: the exception passes on without it.
    RouteOutcome outcome = Route(item);
    if (outcome.kind == RouteOutcome::Kind::Edited) {
        std::size_t failed = 0;
        FileError error = CommitRewrites(outcome.TakeRewrites(), failed);
        outcome = Committed(std::move(outcome), error, failed);
    }
    if (outcome.kind == RouteOutcome::Kind::Failed) MsgBox(outcome.message);
    if (outcome.kind == RouteOutcome::Kind::Refused)
        MsgBox(outcome.signature == RouteOutcome::Signature::Broken
                   ? messages::NotPatched(item->DisplayName(), outcome.message)
                   : messages::NotResigned(item->DisplayName(), outcome.message));
    Refresh(item);
}

RouteOutcome Patcher::Route(const FolderItemRef& item)
{
    return Use(item).Directory() ? ProcessPackage(item) : ProcessRes(item);
}

RouteOutcome Patcher::AgentFlagAdded(const FolderItemRef& item, const std::string& text,
                                     std::string* executable)
{
    if (text.empty()) return RouteOutcome::Failure(messages::NoPlstResource(item->DisplayName()));
    AgentFlagEdit edit = WithAgentFlag(text);
    if (executable) *executable = std::move(edit.executable);
    switch (edit.outcome) {
    case AgentFlagEdit::Outcome::NoDictionary:
        return RouteOutcome::LeftAlone(RouteOutcome::Reason::NoDictionary);
    case AgentFlagEdit::Outcome::AlreadySet: return {};
    case AgentFlagEdit::Outcome::Added: break;
    }
    FileRewrite placed;
    placed.bytes = std::move(edit.text);
    return RouteOutcome::Edit(std::move(placed), {});
}

std::vector<FileRewrite> RouteOutcome::TakeRewrites()
{
    std::vector<FileRewrite> rewrites;
    for (Write& write : writes) rewrites.push_back(std::exchange(write.rewrite, {}));
    return rewrites;
}

RouteOutcome Committed(RouteOutcome edited, FileError error, std::size_t failed)
{
    edited.kind = error ? RouteOutcome::Kind::Failed : RouteOutcome::Kind::Patched;
    edited.cause = error;
    if (error) edited.message = std::move(edited.writes.at(failed).failed);
    edited.writes.clear();
    // Kept only after a part went in: the next run may have to finish it.
    if ((!error || failed == 0) && edited.afterCommit) std::exchange(edited.afterCommit, {})();
    return edited;
}

void Refresh(const FolderItemRef& item)
{
    Zorp::FinderUpdateZorp(item);
}
