// SPDX-License-Identifier: MIT
#include "agent_flag.h"

#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <memory>

AgentFlagEdit WithAgentFlag(const std::string& text)
{
    CFBinaryDataZorpRef data = Zorp::NewCFBinaryDataZorpStr(text);
    CFObjectZorpRef root = Zorp::NewCFObjectZorpFromXML(data);
    CFDictionaryZorpRef dictionary = plist::AsDictionary(root);
    if (!dictionary) return {};

    CFMutableDictionaryZorpRef editable = Zorp::Edit(dictionary);
    CFStringZorpRef key = Zorp::NewCFStringZorp("NSUIElement");
    CFStringZorpRef value = Zorp::NewCFStringZorp("true");
    std::size_t entries = Use(editable).Count();
    Zorp::Add(editable, key, value);
    // Already there: the file stays as it is, its form, layout and signature included.
    if (editable->Count() == entries) return {AgentFlagEdit::Outcome::AlreadySet, {}};

    CFBinaryDataZorpRef xml = Zorp::XML(editable);
    return {AgentFlagEdit::Outcome::Added, Zorp::Str(xml)};
}
