// SPDX-License-Identifier: MIT
#include "arena.h"
#include "readers.h"
#include "unicode.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plist::detail {
namespace {

// The text as CoreFoundation sees it: UTF-16 code units, after the byte-order mark.
struct Text {
    std::u16string units;
    Encoding encoding = Encoding::UTF8;
    std::size_t start = 0;  // bytes of the byte-order mark
};

// UTF-8 unless a byte-order mark says otherwise; on failure `error` holds the byte offset.
bool Decode(std::string_view bytes, Text& text, std::size_t& error)
{
    const ByteOrderMark mark = DetectByteOrderMark(bytes);
    text.encoding = mark.encoding;
    text.start = mark.length;
    const std::size_t unit = UnitBytes(text.encoding);
    if ((bytes.size() - text.start) % unit != 0) {
        error = bytes.size();
        return false;
    }
    text.units.reserve((bytes.size() - text.start) / unit);
    for (std::size_t i = text.start; i < bytes.size();) {
        std::uint32_t c = 0;
        std::size_t used = unit;
        if (text.encoding == Encoding::UTF8) {
            used = DecodeUTF8(bytes, i, c);
        } else {
            c = CodeUnit(bytes, i, text.encoding);
            if (unit == 4 && !IsScalarValue(c)) used = 0;
        }
        if (used == 0) {
            error = i;
            return false;
        }
        AppendUTF16(c, text.units);
        i += used;
    }
    return true;
}

// The byte offset of code unit `index`, for error reports.
std::size_t ByteOffset(std::string_view bytes, const Text& text, std::size_t index)
{
    if (text.encoding == Encoding::UTF16BE || text.encoding == Encoding::UTF16LE)
        return text.start + 2 * index;
    std::size_t i = text.start;
    for (std::size_t units = 0; units < index && i < bytes.size();) {
        std::uint32_t c = 0;
        if (text.encoding == Encoding::UTF8) {
            i += DecodeUTF8(bytes, i, c);
        } else {
            c = CodeUnit(bytes, i, text.encoding);
            i += 4;
        }
        units += c < 0x10000 ? 1 : 2;
    }
    return i;
}

// Octal escapes name a byte of the NeXTSTEP character set; these are its upper 128 characters.
constexpr char16_t kNextStepUpper[128] = {
    0x00A0, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC,
    0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D9, 0x00DA, 0x00DB,
    0x00DC, 0x00DD, 0x00DE, 0x00B5, 0x00D7, 0x00F7, 0x00A9, 0x00A1, 0x00A2, 0x00A3, 0x2044, 0x00A5, 0x0192,
    0x00A7, 0x00A4, 0x2019, 0x201C, 0x00AB, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x00AE, 0x2013, 0x2020, 0x2021,
    0x00B7, 0x00A6, 0x00B6, 0x2022, 0x201A, 0x201E, 0x201D, 0x00BB, 0x2026, 0x2030, 0x00AC, 0x00BF, 0x00B9,
    0x02CB, 0x00B4, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x00A8, 0x00B2, 0x02DA, 0x00B8, 0x00B3, 0x02DD,
    0x02DB, 0x02C7, 0x2014, 0x00B1, 0x00BC, 0x00BD, 0x00BE, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5,
    0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00C6, 0x00ED, 0x00AA, 0x00EE, 0x00EF, 0x00F0, 0x00F1,
    0x0141, 0x00D8, 0x0152, 0x00BA, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00E6, 0x00F9, 0x00FA, 0x00FB,
    0x0131, 0x00FC, 0x00FD, 0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x00FF, 0xFFFD, 0xFFFD,
};

bool IsUnquotedCharacter(char16_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '/' || c == ':' || c == '.' || c == '-';
}

bool IsLineSeparator(char16_t c)
{
    return c == 0x2028 || c == 0x2029;
}

// UTF-16 to UTF-8; an unpaired surrogate (possible through \U escapes) fails.
bool ToUTF8(std::u16string_view units, std::string& out)
{
    out.reserve(units.size());
    std::size_t bad = 0;
    return AppendUTF16AsUTF8(
        units.size(), [&](std::size_t i) { return std::uint32_t{units[i]}; }, out, bad);
}

// Reads the old text format as CoreFoundation does, with one difference: any error fails the whole
// list (CF forgets some errors inside arrays and keeps a partial tree).
class OpenStepReader {
public:
    explicit OpenStepReader(const std::u16string& units)
        : mText(units), mArena(std::make_shared<Arena>(units.size() * sizeof(char16_t)))
    {
    }

    const CFObjectZorp* Document()
    {
        // White space and comments alone read as an empty dictionary.
        if (!SkipSpace()) return mArena->Dictionary({}, Repeated::KeepLast);
        const CFObjectZorp* root = Object(0, true);
        if (!root || !SkipSpace()) return root;
        if (root->Kind() != CFKind::String) return Refuse(ErrorKind::TrailingText);
        // A strings file: "key = value;" pairs without the braces.
        mAt = 0;
        root = DictionaryContent(0);
        if (root && SkipSpace()) return Refuse(ErrorKind::TrailingText);
        return root;
    }

    const ArenaRef& Objects() const { return mArena; }
    bool Failed() const { return mFailed; }
    ErrorKind Kind() const { return mKind; }
    std::size_t FailedAt() const { return mFailedAt; }

private:
    char16_t Peek() const { return mAt < mText.size() ? mText[mAt] : 0; }

    const CFObjectZorp* Refuse(ErrorKind kind) { return RefuseAt(kind, mAt); }

    const CFObjectZorp* RefuseAt(ErrorKind kind, std::size_t at)
    {
        if (!mFailed) mKind = kind, mFailedAt = at;
        mFailed = true;
        return nullptr;
    }

    // Skips white space, Unicode line and paragraph separators, and comments; false at the end.
    bool SkipSpace()
    {
        while (mAt < mText.size()) {
            const char16_t c = mText[mAt];
            if ((c >= 9 && c <= 13) || c == ' ' || IsLineSeparator(c)) {
                ++mAt;
            } else if (c == '/' && mAt + 1 < mText.size() && mText[mAt + 1] == '/') {
                mAt += 2;
                while (mAt < mText.size() && mText[mAt] != '\n' && mText[mAt] != '\r' &&
                       !IsLineSeparator(mText[mAt]))
                    ++mAt;
            } else if (c == '/' && mAt + 1 < mText.size() && mText[mAt + 1] == '*') {
                // An unclosed block comment runs to the end.
                mAt += 2;
                while (mAt < mText.size() &&
                       !(mText[mAt] == '*' && mAt + 1 < mText.size() && mText[mAt + 1] == '/'))
                    ++mAt;
                mAt = mAt < mText.size() ? mAt + 2 : mAt;
            } else {
                break;
            }
        }
        return mAt < mText.size();
    }

    // Without `required`, nothing readable here gives nullptr without failing (an array's end).
    const CFObjectZorp* Object(int depth, bool required)
    {
        if (!SkipSpace()) return required ? Refuse(ErrorKind::UnexpectedEnd) : nullptr;
        const char16_t c = mText[mAt];
        if (c == '{' || c == '(') {
            if (depth + 1 > kMaxDepth) return Refuse(ErrorKind::TooDeep);
            ++mAt;
            return c == '{' ? Dictionary(depth) : Array(depth);
        }
        if (c == '<') {
            ++mAt;
            return Data();
        }
        if (c == '"' || c == '\'' || IsUnquotedCharacter(c)) return String();
        return required ? Refuse(ErrorKind::UnexpectedCharacter) : nullptr;
    }

    const CFObjectZorp* Dictionary(int depth)
    {
        const std::size_t open = mAt - 1;
        const CFObjectZorp* dict = DictionaryContent(depth);
        if (!dict) return nullptr;
        if (!SkipSpace() || Peek() != '}') return RefuseAt(ErrorKind::Unterminated, open);
        ++mAt;
        return dict;
    }

    // Entries "key = value;"; "key;" alone maps the key to itself. A repeated key takes the later value.
    const CFObjectZorp* DictionaryContent(int depth)
    {
        std::vector<const CFObjectZorp*> keysAndValues;
        const CFObjectZorp* key = Key();
        while (key) {
            const CFObjectZorp* value = nullptr;
            if (!SkipSpace()) return Refuse(ErrorKind::MissingSemicolon);
            if (Peek() == ';') {
                value = key;
            } else if (Peek() == '=') {
                ++mAt;
                value = Object(depth + 1, true);
                if (!value) return nullptr;
            } else {
                return Refuse(ErrorKind::ExpectedEqualsOrSemicolon);
            }
            keysAndValues.push_back(key);
            keysAndValues.push_back(value);
            if (!SkipSpace() || Peek() != ';') return Refuse(ErrorKind::MissingSemicolon);
            ++mAt;
            key = Key();
        }
        if (mFailed) return nullptr;
        return mArena->Dictionary(keysAndValues, Repeated::KeepLast);
    }

    // A quoted or bare string, or nullptr when none starts here.
    const CFObjectZorp* Key()
    {
        if (!SkipSpace()) return nullptr;
        const char16_t c = mText[mAt];
        if (c == '"' || c == '\'' || IsUnquotedCharacter(c)) return String();
        return nullptr;
    }

    const CFObjectZorp* String()
    {
        const char16_t c = mText[mAt];
        if (c != '"' && c != '\'') return UnquotedString();
        ++mAt;
        return QuotedString(c);
    }

    // Elements separated by commas; a comma before the ')' is allowed.
    const CFObjectZorp* Array(int depth)
    {
        const std::size_t open = mAt - 1;
        std::vector<const CFObjectZorp*> items;
        const CFObjectZorp* item = Object(depth + 1, false);
        while (item) {
            items.push_back(item);
            if (!SkipSpace()) return RefuseAt(ErrorKind::Unterminated, open);
            if (Peek() != ',') break;
            ++mAt;
            item = Object(depth + 1, false);
        }
        if (mFailed) return nullptr;
        if (!SkipSpace() || Peek() != ')') return RefuseAt(ErrorKind::Unterminated, open);
        ++mAt;
        return mArena->Sequence<CFArrayZorp>(items);
    }

    // Hex digit pairs up to '>', with white space between pairs.
    const CFObjectZorp* Data()
    {
        const std::size_t open = mAt - 1;
        std::string bytes;
        while (mAt < mText.size() && mText[mAt] != '>') {
            const char16_t c = mText[mAt];
            // CoreFoundation looks only at the low byte of a character here.
            const int high = DigitValue(static_cast<unsigned char>(c), true);
            if (high >= 0) {
                ++mAt;
                const int low =
                    mAt < mText.size() ? DigitValue(static_cast<unsigned char>(mText[mAt]), true) : -1;
                if (low < 0) return Refuse(ErrorKind::BadData);
                bytes += static_cast<char>(high << 4 | low);
                ++mAt;
            } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || IsLineSeparator(c)) {
                ++mAt;
            } else {
                return Refuse(ErrorKind::BadData);
            }
        }
        if (Peek() != '>') return RefuseAt(ErrorKind::Unterminated, open);
        ++mAt;
        return mArena->Sequence<CFBinaryDataZorp>(bytes);
    }

    const CFObjectZorp* QuotedString(char16_t quote)
    {
        const std::size_t open = mAt - 1;
        std::u16string units;
        std::size_t mark = mAt;
        while (mAt < mText.size() && mText[mAt] != quote) {
            if (mText[mAt] == '\\') {
                units.append(mText, mark, mAt - mark);
                ++mAt;
                units += Escape();
                mark = mAt;
            } else {
                ++mAt;
            }
        }
        if (mAt >= mText.size()) return RefuseAt(ErrorKind::Unterminated, open);
        units.append(mText, mark, mAt - mark);
        ++mAt;
        return MakeString(units, open);
    }

    // The character after a backslash: C escapes, up to three octal digits, or \U and up to four hex digits.
    char16_t Escape()
    {
        if (mAt >= mText.size()) return 0;
        const char16_t c = mText[mAt++];
        if (c >= '0' && c <= '7') {
            // An 8-bit value: "\777" wraps, as in CoreFoundation.
            std::uint8_t value = static_cast<std::uint8_t>(c - '0');
            for (int more = 0; more < 2 && Peek() >= '0' && Peek() <= '7'; ++more) {
                value = static_cast<std::uint8_t>(value << 3 | (mText[mAt++] - '0'));
            }
            return value < 0x80 ? value : kNextStepUpper[value - 0x80];
        }
        switch (c) {
        case 'U': {
            // A non-hex character still uses up one of the four places without being read.
            char16_t value = 0;
            for (int places = 4; places > 0 && mAt < mText.size(); --places) {
                const char16_t h = mText[mAt];
                if (h < 128 && DigitValue(h, true) >= 0) {
                    value = static_cast<char16_t>(value << 4 | DigitValue(h, true));
                    ++mAt;
                }
            }
            return value;
        }
        case 'a': return '\a';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'v': return '\v';
        default: return c;
        }
    }

    const CFObjectZorp* UnquotedString()
    {
        const std::size_t start = mAt;
        while (mAt < mText.size() && IsUnquotedCharacter(mText[mAt])) ++mAt;
        return MakeString(std::u16string_view(mText).substr(start, mAt - start), start);
    }

    const CFObjectZorp* MakeString(std::u16string_view units, std::size_t at)
    {
        std::string text;
        if (!ToUTF8(units, text)) return RefuseAt(ErrorKind::UnpairedSurrogate, at);
        return mArena->Sequence<CFStringZorp>(text);
    }

    const std::u16string& mText;
    ArenaRef mArena;
    std::size_t mAt = 0;
    bool mFailed = false;
    ErrorKind mKind = ErrorKind::None;
    std::size_t mFailedAt = 0;
};

}  // namespace

ParseResult ParseOpenStep(std::string_view bytes)
{
    if (bytes.empty()) return {nullptr, Format::OpenStep, {ErrorKind::Empty, 0}};
    ParseResult result{nullptr, Format::OpenStep, {}};
    Text text;
    std::size_t bad = 0;
    if (!Decode(bytes, text, bad)) {
        result.error = {ErrorKind::BadEncoding, bad};
        return result;
    }
    OpenStepReader reader(text.units);
    const CFObjectZorp* root = reader.Document();
    if (reader.Failed() || !root) {
        result.error = {reader.Kind(), ByteOffset(bytes, text, reader.FailedAt())};
        return result;
    }
    result.root = ShareOf(reader.Objects(), root);
    return result;
}

}  // namespace plist::detail
