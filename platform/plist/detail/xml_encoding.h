// SPDX-License-Identifier: MIT
#pragma once
// How the XML reader finds a document's encoding and turns its text into UTF-8 before parsing.

#include "platform/plist/error.h"
#include "unicode.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace plist::detail {

struct XmlSource {
    Encoding encoding = Encoding::UTF8;
    std::size_t skip = 0;   // bytes of the byte-order mark
    std::string converted;  // the UTF-8 text when the input was in another encoding
    std::string_view text;  // what the parser reads
};

// Detects the encoding as CoreFoundation does and converts; false with `error` set when the
// encoding is unknown or the text is not valid in it.
bool DecodeXmlSource(std::string_view bytes, XmlSource& source, ParseError& error);

// Where byte `offset` of the parsed text came from in the original bytes, for error reports.
std::size_t OriginalOffset(const XmlSource& source, std::string_view original, std::size_t offset);

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace plist::detail
