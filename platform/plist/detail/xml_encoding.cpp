// SPDX-License-Identifier: MIT
#include "xml_encoding.h"

#include <algorithm>
#include <cstdint>

namespace plist::detail {

namespace {

char LowerASCII(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
    }
    return true;
}

namespace {

// Names CoreFoundation resolves on Linux to an encoding it can read. Names of Mac OS Roman resolve
// to CF's encoding number 0, which its reader takes for "unknown", so they fail there as well.
bool EncodingForName(std::string_view name, Encoding& encoding)
{
    static constexpr std::string_view kLatin1[] = {
        "iso-8859-1", "iso_8859-1", "iso_8859-1:1987", "iso8859-1", "latin1", "l1", "iso-ir-100", "cp819",
        "ibm819", "csisolatin1",
        // CF on Linux reads bytes above 0x7F of a US-ASCII document as Latin-1.
        "us-ascii", "ascii", "us", "iso646-us", "ansi_x3.4-1968", "ansi_x3.4-1986", "iso-ir-6",
        "iso_646.irv:1991", "ibm367", "cp367", "csascii"};
    static constexpr std::string_view kWindows1252[] = {"windows-1252", "cp1252", "x-cp1252"};
    for (std::string_view n : kLatin1) {
        if (EqualsNoCase(name, n)) {
            encoding = Encoding::Latin1;
            return true;
        }
    }
    for (std::string_view n : kWindows1252) {
        if (EqualsNoCase(name, n)) {
            encoding = Encoding::Windows1252;
            return true;
        }
    }
    return false;
}

// CF's detection: a byte-order mark, else a zero byte among the first two (UTF-16 without a mark,
// whose first character CF skips all the same), else the XML declaration's encoding, else UTF-8.
bool DetectEncoding(std::string_view b, XmlSource& source, ParseError& error)
{
    const ByteOrderMark mark = DetectByteOrderMark(b);
    source.encoding = mark.encoding;
    source.skip = mark.length;
    if (mark.length > 0) return true;
    const std::size_t n = b.size();
    if (n > 2 && (b[0] == 0 || b[1] == 0)) {
        source.encoding = Encoding::UTF16LE;
        source.skip = 2;
        return true;
    }
    if (n < 5 || b.substr(0, 5) != "<?xml") return true;
    // Within the declaration, "encoding=" exactly, then a quoted name.
    std::size_t i = 5;
    for (;;) {
        if (i >= n || b[i] == '?' || b[i] == '>') return true;
        const char c = b[i++];
        if (i + 8 >= n) {
            error = {ErrorKind::UnexpectedEnd, i};
            return false;
        }
        if (c == 'e' && b.substr(i, 8) == "ncoding=") {
            i += 8;
            break;
        }
    }
    const char quote = b[i];
    if (quote != '"' && quote != '\'') return true;
    const std::size_t close = b.find(quote, i + 1);
    if (close == std::string_view::npos) return true;
    const std::string_view name = b.substr(i + 1, close - i - 1);
    if (EqualsNoCase(name, "utf-8")) return true;
    if (EncodingForName(name, source.encoding)) return true;
    error = {ErrorKind::UnknownEncoding, i + 1};
    return false;
}

// Windows-1252 0x80-0x9F; 0 marks the five bytes it leaves undefined.
constexpr std::uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// On failure `bad` is the byte offset (in `bytes`) of the character that cannot be converted.
bool ConvertToUTF8(std::string_view bytes, Encoding encoding, std::string& out, std::size_t& bad)
{
    const auto at = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
    };
    const std::size_t n = bytes.size();
    switch (encoding) {
    case Encoding::UTF8: out.assign(bytes); return true;
    case Encoding::Latin1:
    case Encoding::Windows1252:
        out.reserve(n + n / 4);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t c = at(i);
            if (encoding == Encoding::Windows1252 && c >= 0x80 && c < 0xA0) {
                c = kWindows1252High[c - 0x80];
                if (c == 0) {
                    bad = i;
                    return false;
                }
            }
            AppendUTF8(c, out);
        }
        return true;
    case Encoding::UTF16LE:
    case Encoding::UTF16BE: {
        out.reserve(n / 2 + n / 8);
        // A stray last byte is not a character; it is left out.
        const auto unit = [&](std::size_t i) { return CodeUnit(bytes, 2 * i, encoding); };
        if (AppendUTF16AsUTF8(n / 2, unit, out, bad)) return true;
        bad *= 2;
        return false;
    }
    case Encoding::UTF32LE:
    case Encoding::UTF32BE: {
        out.reserve(n / 4 + n / 16);
        for (std::size_t i = 0; i + 3 < n; i += 4) {
            const std::uint32_t c = CodeUnit(bytes, i, encoding);
            if (!IsScalarValue(c)) {
                bad = i;
                return false;
            }
            AppendUTF8(c, out);
        }
        return true;
    }
    }
    return false;
}

}  // namespace

bool DecodeXmlSource(std::string_view bytes, XmlSource& source, ParseError& error)
{
    if (!DetectEncoding(bytes, source, error)) return false;
    const std::string_view body = bytes.substr(source.skip);
    if (source.encoding == Encoding::UTF8) {
        source.text = body;
        return true;
    }
    std::size_t bad = 0;
    if (!ConvertToUTF8(body, source.encoding, source.converted, bad)) {
        error = {ErrorKind::BadEncoding, source.skip + bad};
        return false;
    }
    source.text = source.converted;
    return true;
}

std::size_t OriginalOffset(const XmlSource& source, std::string_view original, std::size_t offset)
{
    if (source.converted.empty() && source.encoding == Encoding::UTF8) return source.skip + offset;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < offset && i < source.text.size(); ++i) {
        if ((static_cast<unsigned char>(source.text[i]) & 0xC0) != 0x80) ++characters;
    }
    switch (source.encoding) {
    case Encoding::UTF8:
    case Encoding::Latin1:
    case Encoding::Windows1252: return source.skip + characters;
    case Encoding::UTF32LE:
    case Encoding::UTF32BE: return source.skip + 4 * characters;
    case Encoding::UTF16LE:
    case Encoding::UTF16BE: break;
    }
    std::size_t i = source.skip;
    const bool le = source.encoding == Encoding::UTF16LE;
    for (; characters > 0 && i + 1 < original.size(); --characters) {
        const auto high = static_cast<unsigned char>(original[le ? i + 1 : i]);
        i += high >= 0xD8 && high <= 0xDB ? 4 : 2;
    }
    return std::min(i, original.size());
}

}  // namespace plist::detail
