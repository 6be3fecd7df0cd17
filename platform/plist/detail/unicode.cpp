// SPDX-License-Identifier: MIT
#include "unicode.h"

namespace plist::detail {

ByteOrderMark DetectByteOrderMark(std::string_view bytes)
{
    using namespace std::string_view_literals;
    static constexpr struct {
        std::string_view mark;
        Encoding encoding;
    } kMarks[] = {
        {"\x00\x00\xFE\xFF"sv, Encoding::UTF32BE}, {"\xFF\xFE\x00\x00"sv, Encoding::UTF32LE},
        {"\xEF\xBB\xBF"sv, Encoding::UTF8},        {"\xFE\xFF"sv, Encoding::UTF16BE},
        {"\xFF\xFE"sv, Encoding::UTF16LE},
    };
    for (const auto& m : kMarks) {
        if (bytes.starts_with(m.mark)) return {m.encoding, m.mark.size()};
    }
    return {};
}

std::size_t UnitBytes(Encoding encoding)
{
    switch (encoding) {
    case Encoding::UTF16BE:
    case Encoding::UTF16LE: return 2;
    case Encoding::UTF32BE:
    case Encoding::UTF32LE: return 4;
    case Encoding::UTF8:
    case Encoding::Latin1:
    case Encoding::Windows1252: break;
    }
    return 1;
}

void AppendUTF16(std::uint32_t c, std::u16string& out)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

std::size_t DecodeUTF8(std::string_view s, std::size_t i, std::uint32_t& c)
{
    const std::size_t length = SequenceLength(s, i);
    if (length == 0) return 0;
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    c = static_cast<unsigned char>(s[i]) & kLeadBits[length];
    for (std::size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return length;
}

}  // namespace plist::detail
