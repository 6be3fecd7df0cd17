// SPDX-License-Identifier: MIT
#pragma once
// Whether a bundle's files are still those its CodeResources seals: each listed file with its
// recorded hash, link target or nested code, and no file the rules seal that the list lacks.

#include "platform/files/open_folder.h"

#include <cstddef>
#include <string>
#include <string_view>

// Trees larger or deeper than this are not walked: no real application comes near them, and a
// seal that cannot be checked is not taken as holding.
inline constexpr std::size_t kMaxSealedItems = 100000;
inline constexpr std::size_t kMaxSealedDepth = 64;
// Nor paths longer than any a Mac allows (PATH_MAX there is 1024).
inline constexpr std::size_t kMaxSealedPath = 1024;
// The rules' automata together, and what matching them may cost for one path and for the walk.
inline constexpr std::size_t kMaxSealedStates = std::size_t(1) << 16;
inline constexpr std::size_t kMaxMatchSteps = std::size_t(1) << 22;
inline constexpr std::size_t kMaxSealSteps = std::size_t(1) << 27;

struct SealCheck {
    enum class Status { Holds, Changed, Unchecked };
    Status status;
    // For Unchecked: "resources cannot be checked", or "resources cannot be read (WHY)".
    std::string reason;
};
// `contents` is the bundle's Contents folder, `codeResources` the bytes of its
// _CodeSignature/CodeResources, `executable` its list's CFBundleExecutable (in MacOS/, or beside
// the seal in a framework's version folder). Unchecked when the seal
// cannot be read, its rules compiled or matched, the tree walked or a sealed file hashed (larger
// than an executable may be) within the bounds above, or a sealed file or folder read.
// `passOverLeftovers`: as a real run finds the bundle once it has removed a killed run's temporary
// files from Contents/ and MacOS/ (for a dry run, which removes nothing).
SealCheck CheckSeal(const OpenFolder& contents, std::string_view codeResources, const std::string& executable,
                    bool framework = false, bool passOverLeftovers = false);
