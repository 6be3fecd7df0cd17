// SPDX-License-Identifier: MIT
#include "agent_check.h"

#include "framework/binary_stream.h"
#include "framework/nil_object.h"
#include "framework/resource_fork.h"
#include "framework/zorp_plugin.h"

#include <cmath>
#include <memory>
#include <string>

namespace {

AgentFlagReading Unreadable(std::string message)
{
    return {AgentFlagReading::Status::Unreadable, nullptr, std::move(message)};
}

AgentFlagReading Inspect(const std::string& text)
{
    CFObjectZorpRef root = Zorp::NewCFObjectZorpFromXML(Zorp::NewCFBinaryDataZorpStr(text));
    auto dictionary = std::dynamic_pointer_cast<CFDictionaryZorp>(root);
    if (!dictionary) return {AgentFlagReading::Status::NoDictionary, nullptr, {}};
    CFObjectZorpRef value = dictionary->Find(std::string("NSUIElement"));
    if (!value) return {AgentFlagReading::Status::Absent, nullptr, {}};
    return {AgentFlagReading::Status::Present, value, {}};
}

AgentFlagReading ReadBundle(const FolderItem& bundle)
{
    FolderItemRef contents = bundle.TrueChild("Contents");
    if (!contents || !contents->Exists()) return {};
    FolderItemRef plist = contents->TrueChild("Info.plist");
    if (!plist || !plist->Exists()) return {};

    BinaryStreamRef stream = plist->OpenAsBinaryFile(false);
    if (!stream) return Unreadable("Failed to open info.plist file.");
    std::string text = stream->Read(stream->Length());
    if (text.empty()) return Unreadable("No plst resource in file " + bundle.DisplayName() + ".");
    return Inspect(text);
}

AgentFlagReading ReadSingleFile(const FolderItem& file)
{
    if (file.MacType() != "APPL") return {};
    ResourceForkRef fork = file.OpenResourceFork(false);
    if (!fork) return Unreadable("Failed to open resource fork of file " + file.DisplayName() + ".");
    std::string text = fork->GetResource("plst", 0);
    if (text.empty()) return Unreadable("No plst resource in file " + file.DisplayName() + ".");
    return Inspect(text);
}

}  // namespace

AgentFlagReading ReadAgentFlag(const FolderItemRef& item)
{
    const FolderItem& target = Use(item);
    return target.Directory() ? ReadBundle(target) : ReadSingleFile(target);
}

std::string DescribeValue(const CFObjectZorp& value)
{
    switch (value.Kind()) {
    case CFKind::String:
        return "\"" + static_cast<const CFStringZorp&>(value).Text() + "\"";
    case CFKind::Boolean:
        return static_cast<const CFBooleanZorp&>(value).Value() ? "true" : "false";
    case CFKind::Integer: {
        const auto& number = static_cast<const CFIntegerZorp&>(value);
        return number.IsUnsigned() ? std::to_string(number.Bits()) : std::to_string(number.AsSigned());
    }
    case CFKind::Real: {
        double real = static_cast<const CFRealZorp&>(value).Value();
        if (std::isfinite(real) && real == std::floor(real) && std::fabs(real) < 1e15)
            return std::to_string(static_cast<long long>(real));
        return std::to_string(real);
    }
    case CFKind::Data: return "(data)";
    case CFKind::Date: return "(date)";
    case CFKind::Array: return "(array)";
    case CFKind::Dictionary: return "(dictionary)";
    default: return "(other)";
    }
}
