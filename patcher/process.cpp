// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "agent_flag.h"
#include "messages.h"
#include "platform/framework/msgbox.h"
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

std::optional<std::string> Patcher::AgentFlagAdded(const FolderItemRef& item, const std::string& text)
{
    if (text.empty()) {
        MsgBox(messages::NoPlstResource(item->DisplayName()));
        return std::nullopt;
    }
    AgentFlagEdit edit = WithAgentFlag(text);
    if (edit.outcome == AgentFlagEdit::Outcome::NoDictionary) LeftAlone(item, Reason::NoDictionary);
    if (edit.outcome != AgentFlagEdit::Outcome::Added) return std::nullopt;
    return std::move(edit.text);
}
