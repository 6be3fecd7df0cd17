// SPDX-License-Identifier: MIT
#include "calendar.h"
#include "readers.h"

#include <charconv>
#include <cstddef>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

namespace plist {
namespace {

// Text in any other encoding is turned into UTF-8 once, before the scanner runs.
enum class Encoding { UTF8, Latin1, Windows1252, UTF16LE, UTF16BE, UTF32LE, UTF32BE };

struct Source {
    Encoding encoding = Encoding::UTF8;
    std::size_t skip = 0;     // bytes of the byte-order mark
    std::string converted;    // the UTF-8 text when the input was in another encoding
    std::string_view text;    // what the scanner reads
};

char LowerASCII(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
    }
    return true;
}

// Names CoreFoundation resolves on Linux to an encoding it can read. Names of Mac OS Roman resolve
// to CF's encoding number 0, which its reader takes for "unknown", so they fail there as well.
bool EncodingForName(std::string_view name, Encoding& encoding) {
    static constexpr std::string_view kLatin1[] = {
        "iso-8859-1", "iso_8859-1", "iso_8859-1:1987", "iso8859-1", "latin1", "l1", "iso-ir-100",
        "cp819", "ibm819", "csisolatin1",
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
bool DetectEncoding(std::string_view b, Source& source, ParseError& error) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
    const auto found = [&](Encoding encoding, std::size_t skip) {
        source.encoding = encoding;
        source.skip = skip;
        return true;
    };
    const std::size_t n = b.size();
    if (n > 4 && at(0) == 0x00 && at(1) == 0x00 && at(2) == 0xFE && at(3) == 0xFF) return found(Encoding::UTF32BE, 4);
    if (n > 4 && at(0) == 0xFF && at(1) == 0xFE && at(2) == 0x00 && at(3) == 0x00) return found(Encoding::UTF32LE, 4);
    if (n > 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) return found(Encoding::UTF8, 3);
    if (n > 2) {
        if (at(0) == 0xFF && at(1) == 0xFE) return found(Encoding::UTF16LE, 2);
        if (at(0) == 0xFE && at(1) == 0xFF) return found(Encoding::UTF16BE, 2);
        if (at(0) == 0x00 || at(1) == 0x00) return found(Encoding::UTF16LE, 2);
    }
    if (n < 5 || b.substr(0, 5) != "<?xml") return true;
    // Within the declaration, "encoding=" exactly, then a quoted name.
    std::size_t i = 5;
    for (;;) {
        if (i >= n || b[i] == '?' || b[i] == '>') return true;
        const char c = b[i++];
        if (i + 8 >= n) {
            error = {"end of input while looking for the encoding name", i};
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
    error = {"unknown or unsupported encoding \"" + std::string(name.substr(0, 40)) + "\"", i + 1};
    return false;
}

// Windows-1252 0x80-0x9F; 0 marks the five bytes it leaves undefined.
constexpr std::uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// On failure `bad` is the byte offset (in `bytes`) of the character that cannot be converted.
bool ConvertToUTF8(std::string_view bytes, Encoding encoding, std::string& out, std::size_t& bad) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
    const std::size_t n = bytes.size();
    switch (encoding) {
    case Encoding::UTF8:
        out.assign(bytes);
        return true;
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
        const bool le = encoding == Encoding::UTF16LE;
        const auto unit = [&](std::size_t i) { return le ? at(i) | at(i + 1) << 8 : at(i) << 8 | at(i + 1); };
        out.reserve(n / 2 + n / 8);
        // A stray last byte is not a character; it is left out.
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            std::uint32_t c = unit(i);
            if (c >= 0xD800 && c <= 0xDBFF && i + 3 < n && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
                i += 2;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                bad = i;
                return false;
            }
            AppendUTF8(c, out);
        }
        return true;
    }
    case Encoding::UTF32LE:
    case Encoding::UTF32BE: {
        const bool le = encoding == Encoding::UTF32LE;
        out.reserve(n / 4 + n / 16);
        for (std::size_t i = 0; i + 3 < n; i += 4) {
            const std::uint32_t c = le ? at(i) | at(i + 1) << 8 | at(i + 2) << 16 | at(i + 3) << 24
                                       : at(i) << 24 | at(i + 1) << 16 | at(i + 2) << 8 | at(i + 3);
            if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
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

// Where a character of the converted text came from, for error reports.
std::size_t OriginalOffset(const Source& source, std::string_view original, std::size_t offset) {
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

// Length of the valid UTF-8 sequence at `i`, or 0.
std::size_t SequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead == 0xED) length = 3, high = 0x9F;  // no surrogates
    else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else return 0;
    if (s.size() - i < length) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::size_t FirstNonASCII(std::string_view s) {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

bool IsUTF8(std::string_view s) {
    for (std::size_t i = FirstNonASCII(s); i < s.size();) {
        const std::size_t length = SequenceLength(s, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// Strict UTF-8, except that CF lets a stray byte 0xA9 (the Mac OS Roman copyright sign) through as
// U+FFFD. Returns false for anything else that is not UTF-8.
bool CheckUTF8(std::string& s) {
    std::size_t i = FirstNonASCII(s);
    while (i < s.size()) {
        const std::size_t length = SequenceLength(s, i);
        if (length == 0) break;
        i += length;
    }
    if (i == s.size()) return true;
    std::string fixed;
    fixed.reserve(s.size() + 16);
    fixed.append(s, 0, i);
    while (i < s.size()) {
        const std::size_t length = SequenceLength(s, i);
        if (length > 0) {
            fixed.append(s, i, length);
            i += length;
        } else if (static_cast<unsigned char>(s[i]) == 0xA9) {
            fixed += "\xEF\xBF\xBD";
            ++i;
        } else {
            return false;
        }
    }
    s.swap(fixed);
    return true;
}

enum class Tag : std::uint8_t { Plist, Array, Dict, Key, String, Data, Date, True, False, Real, Integer, Unknown };

constexpr std::string_view kTagNames[] = {"plist", "array", "dict", "key",  "string",  "data",
                                          "date",  "true",  "false", "real", "integer", ""};

std::string_view NameOf(Tag tag) { return kTagNames[static_cast<int>(tag)]; }

Tag Classify(std::string_view m) {
    const auto is = [&](Tag tag) { return m == kTagNames[static_cast<int>(tag)] ? tag : Tag::Unknown; };
    switch (m[0]) {
    case 'a': return is(Tag::Array);
    case 'd':
        if (m.size() != 4) return Tag::Unknown;
        return m[1] == 'i' ? is(Tag::Dict) : m[3] == 'a' ? is(Tag::Data) : is(Tag::Date);
    case 'f': return is(Tag::False);
    case 'i': return is(Tag::Integer);
    case 'k': return is(Tag::Key);
    case 'p': return is(Tag::Plist);
    case 'r': return is(Tag::Real);
    case 's': return is(Tag::String);
    case 't': return is(Tag::True);
    default: return Tag::Unknown;
    }
}

bool IsMarkupSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// CF's white space for numbers, seen byte by byte.
bool IsNumberSpaceByte(unsigned char c) { return (c >= 0x01 && c <= 0x20) || (c >= 0x7F && c <= 0xA0); }

// C's isspace in the C locale.
bool IsCSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// base64 digit values; -1 skipped (other ASCII), -2 refused (bytes above 0x7F). '=' counts as 0.
struct Base64Table {
    std::int8_t value[256];
    constexpr Base64Table() : value() {
        for (int c = 0; c < 256; ++c) value[c] = c < 0x80 ? -1 : -2;
        for (int c = 'A'; c <= 'Z'; ++c) value[c] = static_cast<std::int8_t>(c - 'A');
        for (int c = 'a'; c <= 'z'; ++c) value[c] = static_cast<std::int8_t>(c - 'a' + 26);
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<std::int8_t>(c - '0' + 52);
        value[static_cast<int>('+')] = 62;
        value[static_cast<int>('/')] = 63;
        value[static_cast<int>('=')] = 0;
    }
};
constexpr Base64Table kBase64;

// The strings of one document, shared: property lists repeat their keys (and many values) again
// and again, and CF shares them the same way. Bounded, so odd documents cost no more than plain ones.
class StringTable {
public:
    explicit StringTable(std::size_t inputSize) {
        // Small at first: an early request of 1 KiB or more makes glibc's malloc merge all the
        // small blocks freed before, which then cannot be handed out again as cheaply.
        const std::size_t slots = inputSize < 64 * 1024 ? 64 : kFirstSlotsAtMost;
        mSlots.assign(slots, 0);
        mStrings.reserve(slots / 4);
    }

    CFObjectZorpRef Intern(std::string_view text) {
        return Intern(text, [&] { return std::make_shared<CFStringZorp>(std::string(text)); });
    }
    CFObjectZorpRef Intern(std::string&& text) {
        const std::string_view view = text;
        return Intern(view, [&] { return std::make_shared<CFStringZorp>(std::move(text)); });
    }

private:
    static constexpr std::size_t kLongest = 64;  // longer strings rarely repeat
    static constexpr std::size_t kMostEntries = 1 << 16;
    static constexpr std::size_t kFirstSlotsAtMost = 1 << 14;
    static constexpr std::size_t kLongestRun = 64;

    // A slot holds a 32-bit hash of the text (which also places it) and the string's index + 1.
    template <typename Make>
    CFObjectZorpRef Intern(std::string_view text, Make make) {
        if (text.size() > kLongest) return make();
        const std::size_t h = std::hash<std::string_view>{}(text);
        const auto tag = static_cast<std::uint32_t>(h ^ (h >> 32));
        const std::size_t mask = mSlots.size() - 1;
        std::size_t s = tag & mask;
        for (std::size_t probes = 0; mSlots[s] != 0; s = (s + 1) & mask) {
            // Crafted collisions make long runs; past a few probes the string is just not shared.
            if (++probes > kLongestRun) return make();
            if (static_cast<std::uint32_t>(mSlots[s] >> 32) != tag) continue;
            const CFObjectZorpRef& known = mStrings[static_cast<std::uint32_t>(mSlots[s]) - 1];
            if (static_cast<const CFStringZorp&>(*known).Text() == text) return known;
        }
        CFObjectZorpRef made = make();
        if (mStrings.size() >= kMostEntries) return made;
        mStrings.push_back(made);
        mSlots[s] = std::uint64_t{tag} << 32 | mStrings.size();
        if (mStrings.size() * 2 > mSlots.size()) Grow();
        return made;
    }

    void Grow() {
        std::vector<std::uint64_t> old(mSlots.size() * 2, 0);
        old.swap(mSlots);
        const std::size_t mask = mSlots.size() - 1;
        for (const std::uint64_t slot : old) {
            if (slot == 0) continue;
            std::size_t s = (slot >> 32) & mask;
            while (mSlots[s] != 0) s = (s + 1) & mask;
            mSlots[s] = slot;
        }
    }

    std::vector<std::uint64_t> mSlots;
    std::vector<CFObjectZorpRef> mStrings;
};

// Values without mutators, so every document shares them. (Not dictionaries: readers insert into
// those.)
const CFObjectZorpRef& Shared(CFKind kind, bool truth = false) {
    static const CFObjectZorpRef yes = std::make_shared<CFBooleanZorp>(true);
    static const CFObjectZorpRef no = std::make_shared<CFBooleanZorp>(false);
    static const CFObjectZorpRef string = std::make_shared<CFStringZorp>(std::string());
    static const CFObjectZorpRef data = std::make_shared<CFBinaryDataZorp>(std::string());
    static const CFObjectZorpRef array = std::make_shared<CFArrayZorp>();
    switch (kind) {
    case CFKind::String: return string;
    case CFKind::Data: return data;
    case CFKind::Array: return array;
    default: return truth ? yes : no;
    }
}

struct Element {
    Tag tag = Tag::Unknown;
    bool empty = false;  // <tag/>
};

struct Frame {
    Tag tag;                // Plist, Array or Dict
    std::size_t base;       // its first pending value in mValues
    bool expectValue;       // a dictionary that has read a key
};

class XmlReader {
public:
    explicit XmlReader(std::string_view text)
        : mBegin(text.data()), mCur(text.data()), mEnd(text.data() + text.size()), mStrings(text.size()) {
        mFrames.reserve(16);
        mValues.reserve(32);
    }

    CFObjectZorpRef Document();
    const std::string& Reason() const { return mReason; }
    std::size_t FailedAt() const { return mFailedAt; }

private:
    enum class Content { Element, Close, Fail };

    bool Fail(std::string reason) { return FailAt(std::move(reason), mCur); }
    bool FailAt(std::string reason, const char* at) {
        if (mReason.empty()) {
            mReason = std::move(reason);
            mFailedAt = static_cast<std::size_t>(std::min(at, mEnd) - mBegin);
        }
        return false;
    }

    std::nullptr_t Refuse(std::string reason) {
        Fail(std::move(reason));
        return nullptr;
    }
    Content Stop(std::string reason) {
        Fail(std::move(reason));
        return Content::Fail;
    }

    std::size_t Left() const { return static_cast<std::size_t>(mEnd - mCur); }
    void SkipSpace() {
        while (mCur < mEnd && IsMarkupSpace(*mCur)) ++mCur;
    }

    bool SkipComment();
    bool SkipProcessingInstruction();
    bool SkipDoctype();
    Content NextContent();
    bool ScanTag(Element& element);
    bool Admit(const Element& element);
    bool Begin(const Element& element, CFObjectZorpRef& value, bool& complete);
    void Deliver(CFObjectZorpRef value);
    bool CloseFrame(CFObjectZorpRef& value);
    bool CloseTag(Tag tag);

    bool Text(std::string& out);
    bool Entity(std::string& out);
    bool CData(std::string& out);
    bool Integer(CFObjectZorpRef& value);
    bool Real(CFObjectZorpRef& value);
    bool Date(CFObjectZorpRef& value);
    bool Data(CFObjectZorpRef& value);
    CFObjectZorpRef MakeDictionary(std::size_t base);

    const char* mBegin;
    const char* mCur;
    const char* mEnd;
    std::string mReason;
    std::size_t mFailedAt = 0;

    std::vector<Frame> mFrames;
    std::vector<CFObjectZorpRef> mValues;  // children of the open containers, in order
    int mContainerDepth = 0;
    int mPlistDepth = 0;
    StringTable mStrings;
};

// Before the root, as CF: white space, comments, processing instructions and one kind of DOCTYPE.
CFObjectZorpRef XmlReader::Document() {
    while (mCur < mEnd) {
        SkipSpace();
        if (Left() <= 1) return Refuse("no XML content");
        if (*mCur != '<') return Refuse("text before the root element");
        const char c = *++mCur;
        if (c == '!') {
            ++mCur;
            if (Left() > 1 && mCur[0] == '-' && mCur[1] == '-') {
                mCur += 2;
                if (!SkipComment()) return nullptr;
            } else if (!SkipDoctype()) {
                return nullptr;
            }
        } else if (c == '?') {
            ++mCur;
            if (!SkipProcessingInstruction()) return nullptr;
        } else {
            break;
        }
    }
    if (mCur >= mEnd) return Refuse("no root element");

    CFObjectZorpRef value;
    bool complete = false;
    Element element;
    if (!ScanTag(element) || !Begin(element, value, complete)) return nullptr;
    for (;;) {
        if (complete) {
            if (mFrames.empty()) return value;  // anything after the root is ignored, as CF does
            Deliver(std::move(value));
        }
        const Content content = NextContent();
        if (content == Content::Fail) return nullptr;
        if (content == Content::Close) {
            if (!CloseFrame(value)) return nullptr;
            complete = true;
            continue;
        }
        if (!ScanTag(element) || !Admit(element) || !Begin(element, value, complete)) return nullptr;
    }
}

// CF needs one character after "-->" (its search stops three bytes before the end).
bool XmlReader::SkipComment() {
    for (const char* p = mCur; mEnd - p > 3; ++p) {
        if (p[0] == '-' && p[1] == '-' && p[2] == '>') {
            mCur = p + 3;
            return true;
        }
    }
    return Fail("unterminated comment");
}

bool XmlReader::SkipProcessingInstruction() {
    for (const char* p = mCur; mEnd - p > 2; ++p) {
        if (p[0] == '?' && p[1] == '>') {
            mCur = p + 2;
            return true;
        }
    }
    return Fail("unterminated processing instruction");
}

// Never fetched or interpreted; an internal subset fails, as in CF.
bool XmlReader::SkipDoctype() {
    if (Left() < 7 || std::memcmp(mCur, "DOCTYPE", 7) != 0) return Fail("malformed <! declaration");
    mCur += 7;
    SkipSpace();
    while (mCur < mEnd && *mCur != '[' && *mCur != '>') ++mCur;
    if (mCur >= mEnd) return Fail("unexpected end inside the DOCTYPE");
    if (*mCur == '[') return Fail("DOCTYPE with an internal subset");
    ++mCur;
    return true;
}

// Inside a container: skips white space, comments and processing instructions. Element leaves
// mCur after the '<'; Close leaves it at the "</".
XmlReader::Content XmlReader::NextContent() {
    for (;;) {
        SkipSpace();
        if (mCur >= mEnd) return Stop("unexpected end of input");
        if (*mCur != '<') return Stop("unexpected text where an element should be");
        ++mCur;
        if (mCur >= mEnd) return Stop("unexpected end of input");
        switch (*mCur) {
        case '?':
            // CF starts looking for "?>" at the '?' itself.
            if (!SkipProcessingInstruction()) return Content::Fail;
            break;
        case '!':
            if (Left() <= 2) return Stop("unexpected end of input");
            if (mCur[1] != '-' || mCur[2] != '-') return Stop("unexpected <! inside a container");
            // From the second '-', as CF does: "<!-->" is a whole comment here.
            mCur += 2;
            if (!SkipComment()) return Content::Fail;
            break;
        case '/':
            --mCur;
            return Content::Close;
        default:
            return Content::Element;
        }
    }
}

// Reads an open tag through its '>'; attributes are ignored, as CF ignores them.
bool XmlReader::ScanTag(Element& element) {
    const char* marker = mCur;
    const auto* gt = static_cast<const char*>(std::memchr(mCur, '>', Left()));
    if (!gt) {
        mCur = mEnd;
        return Fail("unexpected end inside a tag");
    }
    const char* p = marker;
    while (p < gt && !IsMarkupSpace(*p)) ++p;
    element.empty = gt > marker && gt[-1] == '/';
    const std::size_t length = p < gt ? p - marker : gt - marker - (element.empty ? 1 : 0);
    mCur = gt + 1;
    if (length == 0) return FailAt("malformed tag", marker);
    element.tag = Classify(std::string_view(marker, length));
    if (element.tag == Tag::Unknown) {
        return FailAt("unknown tag <" + std::string(marker, std::min<std::size_t>(length, 40)) + ">", marker);
    }
    return true;
}

bool XmlReader::Admit(const Element& element) {
    const Frame& frame = mFrames.back();
    if (frame.tag == Tag::Dict && !frame.expectValue && element.tag != Tag::Key) {
        return Fail("a dictionary holds <" + std::string(NameOf(element.tag)) + "> where a <key> belongs");
    }
    if (frame.tag == Tag::Plist && mValues.size() > frame.base) return Fail("<plist> holds more than one value");
    return true;
}

bool XmlReader::Begin(const Element& element, CFObjectZorpRef& value, bool& complete) {
    complete = true;
    switch (element.tag) {
    case Tag::Plist:
        if (element.empty) return Fail("empty <plist>");
        if (mPlistDepth >= kMaxDepth) return Fail("<plist> nested too deeply");
        ++mPlistDepth;
        mFrames.push_back({Tag::Plist, mValues.size(), false});
        complete = false;
        return true;
    case Tag::Array:
    case Tag::Dict:
        if (mContainerDepth >= kMaxDepth) return Fail("too many nested arrays or dictionaries");
        if (element.empty) {
            if (element.tag == Tag::Array) value = Shared(CFKind::Array);
            else value = std::make_shared<CFDictionaryZorp>();
            return true;
        }
        ++mContainerDepth;
        mFrames.push_back({element.tag, mValues.size(), false});
        complete = false;
        return true;
    case Tag::Key:
    case Tag::String: {
        if (element.empty) {
            value = Shared(CFKind::String);
            return true;
        }
        // Most text is plain: no entity, no CDATA, valid UTF-8. It is shared straight from the input.
        const auto* lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
        if (lt && mEnd - lt > 1 && lt[1] != '!') {
            const std::string_view plain(mCur, static_cast<std::size_t>(lt - mCur));
            if (plain.find('&') == std::string_view::npos && IsUTF8(plain)) {
                mCur = lt;
                if (!CloseTag(element.tag)) return false;
                value = plain.empty() ? Shared(CFKind::String) : mStrings.Intern(plain);
                return true;
            }
        }
        std::string text;
        if (!Text(text) || !CloseTag(element.tag)) return false;
        value = text.empty() ? Shared(CFKind::String) : mStrings.Intern(std::move(text));
        return true;
    }
    case Tag::True:
    case Tag::False:
        if (!element.empty && Left() >= 2 && (mCur[0] != '<' || mCur[1] != '/')) {
            return Fail(element.tag == Tag::True ? "<true> with content" : "<false> with content");
        }
        if (!element.empty && !CloseTag(element.tag)) return false;
        value = Shared(CFKind::Boolean, element.tag == Tag::True);
        return true;
    case Tag::Data:
        if (element.empty) return Fail("empty <data/>");
        return Data(value);
    case Tag::Date:
        if (element.empty) return Fail("empty <date/>");
        return Date(value);
    case Tag::Real:
        if (element.empty) return Fail("empty <real/>");
        return Real(value);
    case Tag::Integer:
        if (element.empty) return Fail("empty <integer/>");
        return Integer(value);
    case Tag::Unknown:
        break;
    }
    return Fail("unknown tag");
}

void XmlReader::Deliver(CFObjectZorpRef value) {
    Frame& frame = mFrames.back();
    if (frame.tag == Tag::Dict) frame.expectValue = !frame.expectValue;
    mValues.push_back(std::move(value));
}

bool XmlReader::CloseFrame(CFObjectZorpRef& value) {
    const Frame frame = mFrames.back();
    if (frame.tag == Tag::Dict && frame.expectValue) return Fail("a dictionary key without a value");
    if (frame.tag == Tag::Plist && mValues.size() == frame.base) return Fail("empty <plist>");
    if (!CloseTag(frame.tag)) return false;
    switch (frame.tag) {
    case Tag::Plist:
        value = std::move(mValues[frame.base]);
        --mPlistDepth;
        break;
    case Tag::Array: {
        const auto first = mValues.begin() + static_cast<std::ptrdiff_t>(frame.base);
        if (first == mValues.end()) {
            value = Shared(CFKind::Array);
        } else {
            value = std::make_shared<CFArrayZorp>(
                std::vector<CFObjectZorpRef>(std::make_move_iterator(first), std::make_move_iterator(mValues.end())));
        }
        --mContainerDepth;
        break;
    }
    default:
        value = MakeDictionary(frame.base);
        --mContainerDepth;
        break;
    }
    mValues.resize(frame.base);
    mFrames.pop_back();
    return true;
}

CFObjectZorpRef XmlReader::MakeDictionary(std::size_t base) {
    auto dict = std::make_shared<CFDictionaryZorp>();
    dict->Reserve((mValues.size() - base) / 2);
    for (std::size_t i = base; i + 1 < mValues.size(); i += 2) {
        dict->Insert(std::move(mValues[i]), std::move(mValues[i + 1]), CFDictionaryZorp::Duplicate::KeepLast);
    }
    // A lone CF$UID with a number is a keyed-archiver reference, its number taken as 32 bits.
    if (dict->Count() == 1) {
        const CFDictionaryZorp::Entry& entry = dict->Entries().front();
        const auto& key = static_cast<const CFStringZorp&>(*entry.key);
        if (key.Text() == "CF$UID") {
            if (entry.value->Kind() == CFKind::Integer) {
                const auto bits = static_cast<const CFIntegerZorp&>(*entry.value).Bits();
                return std::make_shared<CFUIDZorp>(static_cast<std::uint32_t>(bits));
            }
            if (entry.value->Kind() == CFKind::Real) {
                const double d = static_cast<const CFRealZorp&>(*entry.value).Value();
                std::uint32_t v = 0;
                if (d > -9.2e18 && d < 9.2e18) v = static_cast<std::uint32_t>(static_cast<std::int64_t>(d));
                return std::make_shared<CFUIDZorp>(v);
            }
        }
    }
    return dict;
}

// "</name" + white space + ">".
bool XmlReader::CloseTag(Tag tag) {
    const std::string_view name = NameOf(tag);
    if (Left() < name.size() + 3) return Fail("unexpected end of input where </" + std::string(name) + "> belongs");
    if (mCur[0] != '<' || mCur[1] != '/') return Fail("unexpected character where </" + std::string(name) + "> belongs");
    if (std::memcmp(mCur + 2, name.data(), name.size()) != 0) {
        return Fail("close tag does not match <" + std::string(name) + ">");
    }
    mCur += 2 + name.size();
    SkipSpace();
    if (mCur >= mEnd) return Fail("unexpected end of input in a close tag");
    if (*mCur != '>') return Fail("close tag does not match <" + std::string(name) + ">");
    ++mCur;
    return true;
}

// Character data up to the next markup, with entities and CDATA sections expanded; mCur stops at
// the '<' that ends it.
bool XmlReader::Text(std::string& out) {
    const char* mark = mCur;
    // An entity never passes the next '<', so it is looked for again only after a CDATA section.
    const auto* lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
    while (mCur < mEnd) {
        const char* stop = lt ? lt : mEnd;
        const auto* amp = static_cast<const char*>(std::memchr(mCur, '&', static_cast<std::size_t>(stop - mCur)));
        if (amp) {
            out.append(mark, amp);
            mCur = amp;
            if (!Entity(out)) return false;
            mark = mCur;
            continue;
        }
        mCur = stop;
        if (!lt || mEnd - lt <= 1 || lt[1] != '!') break;
        out.append(mark, lt);
        if (!CData(out)) return false;
        mark = mCur;
        lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
    }
    out.append(mark, mCur);
    if (!CheckUTF8(out)) return FailAt("text is not valid UTF-8", mark);
    return true;
}

bool XmlReader::Entity(std::string& out) {
    const char* amp = mCur++;
    const std::size_t left = Left();
    const auto unknown = [&] { return FailAt("unknown entity", amp); };
    if (left < 1) return Fail("unexpected end of input in an entity");
    const char* p = mCur;
    switch (p[0]) {
    case 'l':
    case 'g':
        if (left >= 3 && p[1] == 't' && p[2] == ';') {
            out += p[0] == 'l' ? '<' : '>';
            mCur += 3;
            return true;
        }
        return unknown();
    case 'a':
        if (left < 4) return Fail("unexpected end of input in an entity");
        if (p[1] == 'm' && p[2] == 'p' && p[3] == ';') {
            out += '&';
            mCur += 4;
            return true;
        }
        if (left > 4 && p[1] == 'p' && p[2] == 'o' && p[3] == 's' && p[4] == ';') {
            out += '\'';
            mCur += 5;
            return true;
        }
        return unknown();
    case 'q':
        if (left >= 5 && p[1] == 'u' && p[2] == 'o' && p[3] == 't' && p[4] == ';') {
            out += '"';
            mCur += 5;
            return true;
        }
        return unknown();
    case '#': {
        if (left < 4) return Fail("unexpected end of input in a character reference");
        ++mCur;
        bool hex = false;
        if (*mCur == 'x') {  // only lower-case, as in CF
            hex = true;
            ++mCur;
        }
        std::uint32_t code = 0;
        while (mCur < mEnd) {
            const char c = *mCur++;
            if (c == ';') {
                // "&#;" is U+0000, as in CF.
                if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
                    return FailAt("character reference to no Unicode character", amp);
                }
                AppendUTF8(code, out);
                return true;
            }
            std::uint32_t digit = 0;
            if (IsDigit(c)) digit = static_cast<std::uint32_t>(c - '0');
            else if (hex && c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
            else return FailAt("unexpected character in a character reference", mCur - 1);
            code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + digit, 0x110000);
        }
        return Fail("unexpected end of input in a character reference");
    }
    default:
        return unknown();
    }
}

bool XmlReader::CData(std::string& out) {
    if (Left() < 9) return Fail("unexpected end of input");
    if (std::memcmp(mCur, "<![CDATA[", 9) != 0) return Fail("markup other than CDATA inside text");
    const char* begin = mCur + 9;
    for (const char* p = begin; mEnd - p > 2; ++p) {
        p = static_cast<const char*>(std::memchr(p, ']', static_cast<std::size_t>(mEnd - 2 - p)));
        if (!p) break;
        if (p[1] == ']' && p[2] == '>') {
            out.append(begin, p);
            mCur = p + 3;
            return true;
        }
    }
    return Fail("unterminated CDATA section");
}

// Optional white space, sign, white space, then decimal or 0x-hex digits up to the close tag.
bool XmlReader::Integer(CFObjectZorpRef& value) {
    const auto space = [&] {
        while (mCur < mEnd && IsNumberSpaceByte(static_cast<unsigned char>(*mCur))) ++mCur;
    };
    space();
    if (mCur < mEnd && *mCur == '<') return Fail("empty <integer>");
    bool negative = false;
    if (mCur < mEnd && (*mCur == '-' || *mCur == '+')) negative = *mCur++ == '-';
    space();
    bool hex = false;
    bool leadingZero = false;
    if (mCur < mEnd && *mCur == '0') {
        if (Left() > 1 && (mCur[1] == 'x' || mCur[1] == 'X')) {
            hex = true;
            ++mCur;
        } else {
            leadingZero = true;
        }
        ++mCur;
    }
    while (mCur < mEnd && *mCur == '0') {
        leadingZero = true;
        ++mCur;
    }
    if (mCur < mEnd && *mCur == '<' && !leadingZero) return Fail("incomplete <integer>");
    const std::uint64_t base = hex ? 16 : 10;
    std::uint64_t magnitude = 0;
    for (; mCur < mEnd && *mCur != '<'; ++mCur) {
        const char c = *mCur;
        std::uint64_t digit = 0;
        if (IsDigit(c)) digit = static_cast<std::uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') digit = static_cast<std::uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') digit = static_cast<std::uint64_t>(c - 'A' + 10);
        else return Fail("unexpected character in <integer>");
        if (magnitude > (UINT64_MAX - digit) / base) return Fail("<integer> above 2^64-1");
        magnitude = magnitude * base + digit;
        if (negative && magnitude > (std::uint64_t{1} << 63)) return Fail("<integer> below -2^63");
    }
    if (!CloseTag(Tag::Integer)) return false;
    if (negative) value = std::make_shared<CFIntegerZorp>(0 - magnitude, false);
    else value = std::make_shared<CFIntegerZorp>(magnitude, magnitude > static_cast<std::uint64_t>(INT64_MAX));
    return true;
}

// CF's white space for its number scanner, on UTF-8: U+0001-U+0020, U+007F-U+00A0, U+2000-U+200B, U+3000.
std::size_t NumberSpaceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if ((c >= 0x01 && c <= 0x20) || c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < s.size() && at(i + 1) >= 0x80 && at(i + 1) <= 0xA0) return 2;
    if (c == 0xE2 && i + 2 < s.size() && at(i + 1) == 0x80 && at(i + 2) >= 0x80 && at(i + 2) <= 0x8B) return 3;
    if (c == 0xE3 && i + 2 < s.size() && at(i + 1) == 0x80 && at(i + 2) == 0x80) return 3;
    return 0;
}

// Decimal notation as strtod reads it, and nothing else: [+-] digits [. digits] [e [+-] digits].
bool ScanDecimal(std::string_view s, double& result) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t start = i;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < s.size() && IsDigit(s[i])) ++i;
        return i - from;
    };
    std::size_t mantissaDigits = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissaDigits += digits();
    }
    if (mantissaDigits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    if (i != s.size()) return false;
    const char* first = s.data() + start;
    double magnitude = 0;
    const auto [end, ec] = std::from_chars(first, s.data() + s.size(), magnitude, std::chars_format::general);
    if (end != s.data() + s.size()) return false;
    if (ec == std::errc::result_out_of_range) {
        // Out of range one way or the other: decide by the decimal exponent of the first nonzero digit.
        long long exponent = 0;
        const std::size_t e = s.find_first_of("eE", start);
        if (e != std::string_view::npos) {
            std::size_t k = e + 1;
            const bool negativeExponent = s[k] == '-';
            if (s[k] == '-' || s[k] == '+') ++k;
            for (; k < s.size(); ++k) exponent = std::min(exponent * 10 + (s[k] - '0'), 1'000'000'000'000LL);
            if (negativeExponent) exponent = -exponent;
        }
        const std::string_view mantissa = s.substr(start, (e == std::string_view::npos ? s.size() : e) - start);
        const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
        const std::size_t nonzero = mantissa.find_first_of("123456789");
        if (nonzero == std::string_view::npos) {
            magnitude = 0.0;
        } else {
            const long long position = nonzero < point ? static_cast<long long>(point - nonzero)
                                                       : -static_cast<long long>(nonzero - point - 1);
            magnitude = exponent + position > 0 ? HUGE_VAL : 0.0;
        }
    } else if (ec != std::errc()) {
        return false;
    }
    result = negative ? -magnitude : magnitude;
    return true;
}

bool XmlReader::Real(CFObjectZorpRef& value) {
    const char* start = mCur;
    std::string text;
    if (!Text(text)) return false;
    double d = 0;
    if (EqualsNoCase(text, "nan")) {
        d = std::numeric_limits<double>::quiet_NaN();
    } else if (EqualsNoCase(text, "inf") || EqualsNoCase(text, "+inf") || EqualsNoCase(text, "infinity") ||
               EqualsNoCase(text, "+infinity")) {
        d = HUGE_VAL;
    } else if (EqualsNoCase(text, "-inf") || EqualsNoCase(text, "-infinity")) {
        d = -HUGE_VAL;
    } else {
        // Leading white space passes CF's scanner; trailing white space does not.
        std::size_t i = 0;
        while (i < text.size()) {
            const std::size_t n = NumberSpaceLength(text, i);
            if (n == 0) break;
            i += n;
        }
        if (!ScanDecimal(std::string_view(text).substr(i), d)) return FailAt("misformatted <real>", start);
    }
    if (!CloseTag(Tag::Real)) return false;
    value = std::make_shared<CFRealZorp>(d);
    return true;
}

// YYYY-MM-DDTHH:MM:SSZ with a year of any length and sign; fields roll over as in CF.
bool XmlReader::Date(CFObjectZorpRef& value) {
    const char* start = mCur;
    const char* p = mCur;
    const auto two = [&](std::int32_t& field) {
        if (mEnd - p <= 2) return false;
        const char a = p[0], b = p[1];
        p += 2;
        if (!IsDigit(a) || !IsDigit(b)) return false;
        field = (a - '0') * 10 + (b - '0');
        return true;
    };
    const auto expect = [&](char c) {
        if (p >= mEnd || *p != c) return false;
        ++p;
        return true;
    };
    GregorianDate date;
    bool negative = false;
    if (p < mEnd && *p == '-') {
        negative = true;
        ++p;
    }
    std::uint32_t year = 0;  // wraps past 32 bits, as CF's does
    while (p < mEnd && IsDigit(*p)) year = year * 10 + static_cast<std::uint32_t>(*p++ - '0');
    const bool ok = expect('-') && two(date.month) && expect('-') && two(date.day) && expect('T') &&
                    two(date.hour) && expect(':') && two(date.minute) && expect(':') && two(date.second) &&
                    expect('Z');
    mCur = p;
    if (!ok || !CloseTag(Tag::Date)) return FailAt("could not interpret <date>", start);
    // CF's month table has 16 places; beyond them it reads whatever follows, so we refuse.
    if (date.month > 15) return FailAt("<date> with a month beyond 15", start);
    date.year = static_cast<std::int32_t>(negative ? 0u - year : year);
    value = std::make_shared<CFDateZorp>(AbsoluteTimeFromGregorian(date));
    return true;
}

// base64 as CF decodes it: other ASCII skipped, '=' a zero digit, a partial last group dropped.
bool XmlReader::Data(CFObjectZorpRef& value) {
    const auto* lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
    const char* stop = lt ? lt : mEnd;
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(stop - mCur) / 4 * 3 + 3);
    std::uint32_t accumulator = 0;
    unsigned digits = 0;
    unsigned padding = 0;  // '=' seen since the last digit that was not '=' (white space aside)
    for (const char* p = mCur; p < stop; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '=') ++padding;
        else if (!IsCSpace(c)) padding = 0;
        const int v = kBase64.value[c];
        if (v == -2) return FailAt("<data> holds a byte above 0x7F", p);
        if (v < 0) continue;
        accumulator = accumulator << 6 | static_cast<std::uint32_t>(v);
        if ((++digits & 3) == 0) {
            bytes += static_cast<char>(accumulator >> 16);
            if (padding < 2) bytes += static_cast<char>(accumulator >> 8);
            if (padding < 1) bytes += static_cast<char>(accumulator);
        }
    }
    mCur = stop;
    if (!CloseTag(Tag::Data)) return false;
    value = bytes.empty() ? Shared(CFKind::Data) : std::make_shared<CFBinaryDataZorp>(std::move(bytes));
    return true;
}

}  // namespace

ParseResult ParseXML(std::string_view bytes) {
    ParseResult result;
    result.format = Format::XML;
    if (bytes.empty()) {
        result.error = {"empty input", 0};
        return result;
    }
    Source source;
    if (!DetectEncoding(bytes, source, result.error)) return result;
    const std::string_view body = bytes.substr(source.skip);
    if (source.encoding == Encoding::UTF8) {
        source.text = body;
    } else {
        std::size_t bad = 0;
        if (!ConvertToUTF8(body, source.encoding, source.converted, bad)) {
            result.error = {"text is not valid in its encoding", source.skip + bad};
            return result;
        }
        source.text = source.converted;
    }
    XmlReader reader(source.text);
    result.root = reader.Document();
    if (!result.root) result.error = {reader.Reason(), OriginalOffset(source, bytes, reader.FailedAt())};
    return result;
}

}  // namespace plist
