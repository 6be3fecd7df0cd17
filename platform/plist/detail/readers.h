// SPDX-License-Identifier: MIT
#pragma once
// The three readers behind plist::Parse; each reports what failed and where.

#include "platform/plist/plist.h"

#include <string_view>

namespace plist::detail {

constexpr int kMaxDepth = 512;  // containers nested deeper than this are refused

// The digit's value, or -1 when it is none; hexadecimal digits in either case.
constexpr int DigitValue(unsigned char c, bool hex)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ParseResult ParseBinary(std::string_view bytes);    // "bplist0?" lists
ParseResult ParseXML(std::string_view bytes);       // any encoding CoreFoundation reads
ParseResult ParseOpenStep(std::string_view bytes);  // the old text format

}  // namespace plist::detail
