// SPDX-License-Identifier: MIT
#pragma once
// The three readers behind plist::Parse; each reports what failed and where.

#include "plist.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace plist {

constexpr int kMaxDepth = 512;  // containers nested deeper than this are refused

ParseResult ParseBinary(std::string_view bytes);    // "bplist0?" lists
ParseResult ParseXML(std::string_view bytes);       // any encoding CoreFoundation reads
ParseResult ParseOpenStep(std::string_view bytes);  // the old text format

// Appends one code point (at most 0x10FFFF, already checked) as UTF-8.
inline void AppendUTF8(std::uint32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace plist
