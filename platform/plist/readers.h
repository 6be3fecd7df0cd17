// SPDX-License-Identifier: MIT
#pragma once
// The three readers behind plist::Parse; each reports what failed and where.

#include "plist.h"

#include <string_view>

namespace plist {

constexpr int kMaxDepth = 512;  // containers nested deeper than this are refused

ParseResult ParseBinary(std::string_view bytes);    // "bplist0?" lists
ParseResult ParseXML(std::string_view bytes);       // any encoding CoreFoundation reads
ParseResult ParseOpenStep(std::string_view bytes);  // the old text format

}  // namespace plist
