// SPDX-License-Identifier: MIT
#include "agent_flag.h"

#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <memory>

namespace {

CFDictionaryZorpRef Parsed(const std::string& text)
{
    CFBinaryDataZorpRef data = Zorp::NewCFBinaryDataZorpStr(text);
    CFObjectZorpRef root = Zorp::NewCFObjectZorpFromXML(data);
    return plist::AsDictionary(root);
}

}  // namespace

AgentFlagEdit WithAgentFlag(const std::string& text)
{
    CFDictionaryZorpRef dictionary = Parsed(text);
    if (!dictionary) return {};
    std::string executable = BundleExecutable(*dictionary);

    CFMutableDictionaryZorpRef editable = Zorp::Edit(dictionary);
    CFStringZorpRef key = Zorp::NewCFStringZorp("NSUIElement");
    CFStringZorpRef value = Zorp::NewCFStringZorp("true");
    std::size_t entries = Use(editable).Count();
    Zorp::Add(editable, key, value);
    // Already there: the file stays as it is, its form, layout and signature included.
    if (editable->Count() == entries) return {AgentFlagEdit::Outcome::AlreadySet, {}, std::move(executable)};

    CFBinaryDataZorpRef xml = Zorp::XML(editable);
    return {AgentFlagEdit::Outcome::Added, Zorp::Str(xml), std::move(executable)};
}

std::string BundleExecutable(const std::string& text)
{
    CFDictionaryZorpRef dictionary = Parsed(text);
    return dictionary ? BundleExecutable(*dictionary) : std::string();
}

std::string BundleExecutable(const CFDictionaryZorp& list)
{
    const CFObjectZorp* name = list.Find("CFBundleExecutable");
    if (!name || name->Kind() != CFKind::String) return {};
    return std::string(static_cast<const CFStringZorp&>(*name).Text());
}
