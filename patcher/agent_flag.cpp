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

std::string ExecutableOf(const CFDictionaryZorp& dictionary)
{
    const CFObjectZorp* name = dictionary.Find("CFBundleExecutable");
    if (!name || name->Kind() != CFKind::String) return {};
    return std::string(static_cast<const CFStringZorp&>(*name).Text());
}

}  // namespace

AgentFlagEdit WithAgentFlag(const std::string& text)
{
    CFDictionaryZorpRef dictionary = Parsed(text);
    if (!dictionary) return {};
    std::string executable = ExecutableOf(*dictionary);

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
    return dictionary ? ExecutableOf(*dictionary) : std::string();
}
