// SPDX-License-Identifier: MIT
#pragma once
// The rules macOS applies to a signed executable beyond its hashes (the kernel's, and those of a
// strict verification): where the signed code ends, the page size, the slices' layout in a universal
// file, the entitlements' form, the team ID. Each failure is a Break bit of its own.

#include "macho.h"

#include <string_view>
#include <vector>

namespace macho {

// Of one signed slice: code limit and scatter of every CodeDirectory, page size, __LINKEDIT last,
// entitlements blobs well formed.
unsigned SliceRuleBreaks(const Slice& slice);

// Of the whole file once a slice is signed: the universal header's byte order and layout, the main
// slice's code limit at its signature, one team ID for every signed slice.
unsigned FileRuleBreaks(std::string_view file, const std::vector<Slice>& slices);

}  // namespace macho
