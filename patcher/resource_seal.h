// SPDX-License-Identifier: MIT
#pragma once
// Whether a bundle's files are still those its CodeResources seals: each listed file with its
// recorded hash, link target or nested code, and no file the rules seal that the list lacks.

#include "platform/framework/folder_item.h"

#include <cstddef>
#include <string>
#include <string_view>

// Trees larger or deeper than this are not walked: no real application comes near them, and a
// seal that cannot be checked is not taken as holding.
inline constexpr std::size_t kMaxSealedItems = 100000;
inline constexpr std::size_t kMaxSealedDepth = 64;
// Nor paths longer than any a Mac allows (PATH_MAX there is 1024): matching rules against one takes
// stack in proportion to its length.
inline constexpr std::size_t kMaxSealedPath = 1024;

// `contents` is the bundle's Contents folder, `codeResources` the bytes of its
// _CodeSignature/CodeResources, `executable` its list's CFBundleExecutable. False also when the
// seal cannot be read or the tree cannot be walked within the bounds above.
bool ResourcesAsSealed(const FolderItem& contents, std::string_view codeResources,
                       const std::string& executable);
