// SPDX-License-Identifier: MIT
#pragma once
// The routes' messages, kept in one place for the routes and for the check that reads as they do.

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

}  // namespace messages
