// SPDX-License-Identifier: MIT
#include "printable.h"

#include "platform/plist/cfobject.h"

#include <cstdint>

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Code points a terminal may act on, or that change how the rest of the line is shown.
bool Unprintable(std::uint32_t c)
{
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
           c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendByte(std::string& out, unsigned char byte)
{
    out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
}

}  // namespace

std::string EscapeControls(std::string_view text, char quote)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            std::uint32_t c = 0;
            const std::size_t length = plist::DecodeUTF8(text, i, c);
            if (length == 0) {
                AppendByte(escaped, byte);
                ++i;
            } else if (Unprintable(c)) {
                escaped += {'\\', 'u', kHex[c >> 12], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
                i += length;
            } else {
                escaped.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        const char c = text[i++];
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == '\t')
            escaped += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            AppendByte(escaped, byte);
        else if (quote != '\0' && c == quote)
            escaped += {'\\', c};
        else
            escaped += c;
    }
    return escaped;
}
