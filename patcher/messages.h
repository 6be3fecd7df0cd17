// SPDX-License-Identifier: MIT
#pragma once
// The routes' messages, kept in one place for the routes and for the check that reads as they do;
// those for a signature's files are the signing library's.

#include "platform/codesign/messages.h"

#include <string>

namespace messages {

inline const std::string kOpenInfoPlistFailed = "Failed to open info.plist file.";
inline const std::string kWriteInfoPlistFailed = "Failed to write info.plist file.";
inline std::string NoPlstResource(const std::string& name)
{
    return "No plst resource in file " + name + ".";
}
inline std::string OpenForkFailed(const std::string& name)
{
    return "Failed to open resource fork of file " + name + ".";
}
inline std::string WriteForkFailed(const std::string& name)
{
    return "Failed to write resource fork of file " + name + ".";
}
inline std::string WriteExecutableFailed(const std::string& name)
{
    return "Failed to write executable file " + name + ".";
}
// The window's words for a bundle left untouched because its signature may not be renewed.
inline std::string NotResigned(const std::string& name, const std::string& why)
{
    return "Not re-signed: " + why + ". Nothing in " + name + " was changed.";
}

// Why a bundle is left untouched rather than patched into a developer's signature that no longer
// holds, with the way to go on anyway.
inline const std::string kSignatureWouldBreak =
    "the developer's code signature would no longer match, and macOS would refuse to open it "
    "(veilor-patch --resign renews it as an ad hoc signature)";
inline std::string SignatureWouldBreakAndHarm(const std::string& harm)
{
    return "the developer's code signature would no longer match, and an ad hoc one would harm it: " + harm +
           " (veilor-patch --allow-broken-signature patches it anyway)";
}
// The window's words for such a bundle.
inline std::string NotPatched(const std::string& name, const std::string& why)
{
    return "Not patched: " + why + ". Nothing in " + name + " was changed.";
}

}  // namespace messages
