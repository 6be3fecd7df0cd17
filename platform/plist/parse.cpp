// SPDX-License-Identifier: MIT
#include "platform/plist/detail/readers.h"
#include "platform/plist/plist.h"

namespace plist {
namespace {

using detail::ParseBinary;
using detail::ParseOpenStep;
using detail::ParseXML;

// Old text-format lists begin with a brace, a parenthesis, a quote or a bare word.
bool LooksLikeOldText(std::string_view bytes)
{
    const std::size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return true;
    const char c = bytes[first];
    return c == '{' || c == '(' || c == '"' || c == '\'' || c == '/' || (c >= '0' && c <= '9') ||
           (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

// CoreFoundation's order: binary for "bplist0", then XML, then the old text format. The error
// reported is that of the reader the input was most likely meant for.
ParseResult Parse(std::string_view bytes)
{
    if (bytes.empty()) return {nullptr, Format::XML, {ErrorKind::Empty, 0}};
    ParseResult binary;
    const bool binaryTried = bytes.starts_with("bplist0");
    if (binaryTried) {
        binary = ParseBinary(bytes);
        if (binary.root) return binary;
    }
    ParseResult xml = ParseXML(bytes);
    if (xml.root) return xml;
    ParseResult text = ParseOpenStep(bytes);
    if (text.root) return text;
    if (binaryTried) return binary;
    return LooksLikeOldText(bytes) ? text : xml;
}

ParseResult Parse(std::string_view bytes, Format format)
{
    switch (format) {
    case Format::Binary: return ParseBinary(bytes);
    case Format::XML: return ParseXML(bytes);
    case Format::OpenStep: break;
    }
    return ParseOpenStep(bytes);
}

}  // namespace plist
