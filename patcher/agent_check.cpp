// SPDX-License-Identifier: MIT
#include "agent_check.h"

#include "agent_flag.h"
#include "messages.h"

#include "platform/framework/binary_stream.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/printable.h"
#include "platform/framework/resource_fork.h"
#include "platform/framework/zorp_plugin.h"

#include <cctype>
#include <cmath>
#include <memory>
#include <string>

namespace {

AgentFlagReading Unreadable(std::string message)
{
    return {AgentFlagReading::Status::Unreadable, nullptr, nullptr, std::move(message), {}, {}};
}

AgentFlagReading Inspect(const std::string& text)
{
    CFObjectZorpRef root = Zorp::NewCFObjectZorpFromXML(Zorp::NewCFBinaryDataZorpStr(text));
    CFDictionaryZorpRef dictionary = plist::AsDictionary(root);
    if (!dictionary) return {AgentFlagReading::Status::NoDictionary, nullptr, nullptr, {}, {}, {}};
    return {AgentFlagReading::Status::Read,
            plist::FindRef(dictionary, "NSUIElement"),
            plist::FindRef(dictionary, "LSUIElement"),
            {},
            {},
            BundleExecutable(*dictionary)};
}

AgentFlagReading ReadBundle(const FolderItem& bundle)
{
    FolderItemRef plist = bundle.BundleInfoPlist();
    if (!plist || !plist->Exists()) return {};

    FileError error;
    BinaryStreamRef stream = plist->OpenAsBinaryFile(false, error);
    // A write cut short is the one cause a check must tell: the next plain run finishes it.
    if (!stream && error.step == FileStep::Unfinished)
        return Unreadable(messages::kOpenInfoPlistFailed + std::string(" (") + error.Cause() + ")");
    if (!stream) return Unreadable(messages::kOpenInfoPlistFailed);
    std::string text = stream->Read(stream->Length());
    if (text.empty()) return Unreadable(messages::NoPlstResource(bundle.DisplayName()));
    AgentFlagReading reading = Inspect(text);
    reading.bundleList = std::move(text);
    return reading;
}

AgentFlagReading ReadSingleFile(const FolderItem& file)
{
    const std::optional<std::string> type = file.LookUpMacType();
    if (!type) return Unreadable(messages::OpenForkFailed(file.DisplayName()));
    if (*type != "APPL") return {};
    ResourceForkRef fork = file.OpenResourceFork(false);
    if (!fork) return Unreadable(messages::OpenForkFailed(file.DisplayName()));
    std::string text = fork->GetResource("plst", 0);
    if (text.empty()) return Unreadable(messages::NoPlstResource(file.DisplayName()));
    return Inspect(text);
}

std::string Lowered(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

AgentFlagReading ReadAgentFlag(const FolderItemRef& item)
{
    const FolderItem& target = Use(item);
    return target.Directory() ? ReadBundle(target) : ReadSingleFile(target);
}

bool IsTrue(const CFObjectZorpRef& value)
{
    if (!value) return false;
    switch (value->Kind()) {
    case CFKind::Boolean: return static_cast<const CFBooleanZorp&>(*value).Value();
    case CFKind::Integer: return static_cast<const CFIntegerZorp&>(*value).Bits() != 0;
    case CFKind::Real: return static_cast<const CFRealZorp&>(*value).Value() != 0.0;
    case CFKind::String: {
        const std::string text = Lowered(std::string(static_cast<const CFStringZorp&>(*value).Text()));
        return text == "true" || text == "yes" || text == "1";
    }
    default: return false;
    }
}

bool RunsAsAgent(const AgentFlagReading& reading)
{
    return reading.status == AgentFlagReading::Status::Read &&
           (IsTrue(reading.nsUIElement) || IsTrue(reading.lsUIElement));
}

std::string DescribeValue(const CFObjectZorp& value)
{
    switch (value.Kind()) {
    case CFKind::String:
        return "\"" + EscapeControls(static_cast<const CFStringZorp&>(value).Text(), '"') + "\"";
    case CFKind::Boolean: return static_cast<const CFBooleanZorp&>(value).Value() ? "true" : "false";
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
