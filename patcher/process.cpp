// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "agent_flag.h"
#include "messages.h"
#include "platform/framework/msgbox.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <utility>

void Patcher::Process(const FolderItemRef& item)
{
    // Not refreshed when the route raises: the exception passes on without it.
    RouteOutcome outcome = Route(item);
    if (outcome.kind == RouteOutcome::Kind::Edited) {
        FileError error = CommitRewrite(std::move(outcome.rewrite));
        outcome = Committed(std::move(outcome), error);
    }
    if (outcome.kind == RouteOutcome::Kind::Failed) MsgBox(outcome.message);
    Refresh(item);
}

RouteOutcome Patcher::Route(const FolderItemRef& item)
{
    return Use(item).Directory() ? ProcessPackage(item) : ProcessRes(item);
}

RouteOutcome Patcher::AgentFlagAdded(const FolderItemRef& item, const std::string& text)
{
    if (text.empty()) return RouteOutcome::Failure(messages::NoPlstResource(item->DisplayName()));
    AgentFlagEdit edit = WithAgentFlag(text);
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

RouteOutcome Committed(RouteOutcome edited, FileError error)
{
    edited.rewrite = {};
    edited.kind = error ? RouteOutcome::Kind::Failed : RouteOutcome::Kind::Patched;
    edited.cause = error;
    if (!error) edited.message.clear();
    return edited;
}

void Refresh(const FolderItemRef& item)
{
    Zorp::FinderUpdateZorp(item);
}
