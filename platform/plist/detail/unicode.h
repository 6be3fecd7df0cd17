// SPDX-License-Identifier: MIT
#pragma once
// Unicode as every reader of ours needs it: UTF-8 checks, surrogate pairs, byte-order marks and
// the code units of UTF-16 and UTF-32 in either byte order.

#include "platform/byteorder/byteorder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace plist::detail {

// The encodings the readers take text in; all but UTF-8 are converted before scanning.
enum class Encoding { UTF8, UTF16LE, UTF16BE, UTF32LE, UTF32BE, Latin1, Windows1252 };

struct ByteOrderMark {
    Encoding encoding = Encoding::UTF8;
    std::size_t length = 0;  // 0: the text has no mark
};

// UTF-32 is looked for before UTF-16, whose mark begins the same way.
ByteOrderMark DetectByteOrderMark(std::string_view bytes);

constexpr bool IsHighSurrogate(std::uint32_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool IsLowSurrogate(std::uint32_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}
constexpr bool IsSurrogate(std::uint32_t u)
{
    return u >= 0xD800 && u <= 0xDFFF;
}
constexpr std::uint32_t JoinSurrogates(std::uint32_t high, std::uint32_t low)
{
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
// A code point that UTF-8 may carry.
constexpr bool IsScalarValue(std::uint32_t c)
{
    return c <= 0x10FFFF && !IsSurrogate(c);
}

// Bytes per code unit: 1 for UTF-8 and the single-byte encodings.
std::size_t UnitBytes(Encoding encoding);

// The code unit at byte `i` of UTF-16 or UTF-32 text (a byte for the others); no bounds check.
inline std::uint32_t CodeUnit(std::string_view bytes, std::size_t i, Encoding encoding)
{
    const char* p = bytes.data() + i;
    switch (encoding) {
    case Encoding::UTF16BE: return byteorder::BigEndian16(p);
    case Encoding::UTF16LE: return byteorder::LittleEndian16(p);
    case Encoding::UTF32BE: return byteorder::BigEndian32(p);
    case Encoding::UTF32LE: return byteorder::LittleEndian32(p);
    case Encoding::UTF8:
    case Encoding::Latin1:
    case Encoding::Windows1252: break;
    }
    return static_cast<unsigned char>(*p);
}

// Appends one code point (a scalar value, already checked) as UTF-8.
inline void AppendUTF8(std::uint32_t c, std::string& out)
{
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

void AppendUTF16(std::uint32_t c, std::u16string& out);

// Converts `count` UTF-16 code units, `unit(i)` giving the i-th, to UTF-8. A surrogate that is not
// half of a pair fails, with `bad` the index of its unit.
template <class Unit>
bool AppendUTF16AsUTF8(std::size_t count, Unit unit, std::string& out, std::size_t& bad)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = unit(i);
        if (IsSurrogate(c)) {
            const std::uint32_t low = i + 1 < count && IsHighSurrogate(c) ? unit(i + 1) : 0;
            if (!IsLowSurrogate(low)) {
                bad = i;
                return false;
            }
            c = JoinSurrogates(c, low);
            ++i;
        }
        AppendUTF8(c, out);
    }
    return true;
}

// Where the first byte above 0x7F is, or the size; eight bytes at a time.
inline std::size_t FirstNonASCII(std::string_view s)
{
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

// What a lead byte of UTF-8 begins: the sequence's length (0: none) and the range its second byte
// must lie in, which rules out overlong forms, surrogates and values above U+10FFFF.
struct Lead {
    std::uint8_t length = 0, low = 0x80, high = 0xBF;
};

inline constexpr auto kLeads = [] {
    std::array<Lead, 256> leads{};
    const auto set = [&leads](unsigned first, unsigned last, Lead lead) {
        for (unsigned b = first; b <= last; ++b) leads[b] = lead;
    };
    set(0xC2, 0xDF, {2, 0x80, 0xBF});
    set(0xE0, 0xEF, {3, 0x80, 0xBF});
    set(0xF1, 0xF3, {4, 0x80, 0xBF});
    leads[0xE0].low = 0xA0;
    leads[0xED].high = 0x9F;
    leads[0xF0] = {4, 0x90, 0xBF};
    leads[0xF4] = {4, 0x80, 0x8F};
    return leads;
}();

// Length of the valid UTF-8 sequence at `i`, or 0.
inline std::size_t SequenceLength(std::string_view s, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    if (at(i) < 0x80) return 1;
    const Lead lead = kLeads[at(i)];
    if (lead.length == 0 || s.size() - i < lead.length) return 0;
    if (at(i + 1) < lead.low || at(i + 1) > lead.high) return 0;
    for (std::size_t k = 2; k < lead.length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    }
    return lead.length;
}

// The code point of the valid UTF-8 sequence at `i` into `c`; returns its length, 0 if invalid.
std::size_t DecodeUTF8(std::string_view s, std::size_t i, std::uint32_t& c);

inline bool IsUTF8(std::string_view s)
{
    for (std::size_t i = FirstNonASCII(s); i < s.size();) {
        const std::size_t length = SequenceLength(s, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace plist::detail
