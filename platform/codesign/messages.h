// SPDX-License-Identifier: MIT
#pragma once
// The words for a bundle's signed files that cannot be read, as the routes show them.

#include <string>

namespace messages {

inline std::string OpenExecutableFailed(const std::string& name)
{
    return "Failed to open executable file " + name + ".";
}
inline const std::string kOpenCodeResourcesFailed = "Failed to open CodeResources file.";

}  // namespace messages
