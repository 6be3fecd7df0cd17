// SPDX-License-Identifier: MIT
#include "arena.h"
#include "calendar.h"
#include "readers.h"
#include "unicode.h"
#include "xml_encoding.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <span>
#include <vector>

namespace plist::detail {
namespace {

// Strict UTF-8, except that CF lets a stray byte 0xA9 (the Mac OS Roman copyright sign) through as
// U+FFFD. Returns false for anything else that is not UTF-8.
bool CheckUTF8(std::string& s)
{
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

enum class Tag : std::uint8_t {
    Plist,
    Array,
    Dict,
    Key,
    String,
    Data,
    Date,
    True,
    False,
    Real,
    Integer,
    Unknown
};

constexpr std::string_view kTagNames[] = {"plist", "array", "dict",  "key",  "string",  "data",
                                          "date",  "true",  "false", "real", "integer", ""};

std::string_view NameOf(Tag tag)
{
    return kTagNames[static_cast<int>(tag)];
}

// "/name>" as it lies in memory, for one load and compare; the mask is zero where it does not fit.
struct CloseWord {
    std::uint64_t word = 0;
    std::uint64_t mask = 0;
};

constexpr CloseWord MakeCloseWord(std::string_view name)
{
    CloseWord close;
    if (name.size() + 2 > 8) return close;
    const auto put = [&close](std::size_t i, unsigned char c) {
        const std::size_t shift = std::endian::native == std::endian::little ? 8 * i : 56 - 8 * i;
        close.word |= std::uint64_t{c} << shift;
        close.mask |= std::uint64_t{0xFF} << shift;
    };
    put(0, '/');
    for (std::size_t i = 0; i < name.size(); ++i) put(i + 1, static_cast<unsigned char>(name[i]));
    put(name.size() + 1, '>');
    return close;
}

struct CloseWords {
    CloseWord of[std::size(kTagNames)];
    constexpr CloseWords()
    {
        for (std::size_t t = 0; t < std::size(kTagNames); ++t) of[t] = MakeCloseWord(kTagNames[t]);
    }
};
constexpr CloseWords kCloseWords;

// A tag name of at most eight bytes as one number, the first byte highest.
constexpr std::uint64_t Packed(std::string_view name)
{
    std::uint64_t packed = 0;
    for (const char c : name) packed = packed << 8 | static_cast<unsigned char>(c);
    return packed;
}

constexpr auto kPackedTags = [] {
    std::array<std::uint64_t, std::size(kTagNames) - 1> packed{};
    for (std::size_t t = 0; t < packed.size(); ++t) packed[t] = Packed(kTagNames[t]);
    return packed;
}();

// Only for names of the letters a to z, which pack to distinct numbers.
Tag ClassifyPacked(std::uint64_t packed)
{
    for (std::size_t t = 0; t < kPackedTags.size(); ++t) {
        if (kPackedTags[t] == packed) return static_cast<Tag>(t);
    }
    return Tag::Unknown;
}

Tag Classify(std::string_view m)
{
    const Tag tag = m.size() <= 8 ? ClassifyPacked(Packed(m)) : Tag::Unknown;
    return NameOf(tag) == m ? tag : Tag::Unknown;
}

bool IsMarkupSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Word-at-a-time scanning: eight bytes in one native load, tested together.
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

std::uint64_t LoadWord(const char* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// High bit of each byte that differs from `c`; exact per byte, as no carry crosses bytes.
std::uint64_t Differs(std::uint64_t word, char c)
{
    const std::uint64_t t = word ^ (static_cast<unsigned char>(c) * kOnes);
    return ((t & kLow7) + kLow7) | t;
}

std::uint64_t NotMarkupSpace(std::uint64_t word)
{
    return Differs(word, ' ') & Differs(word, '\t') & Differs(word, '\n') & Differs(word, '\r') & kHigh;
}

// High bit of each byte equal to `c`.
std::uint64_t Equals(std::uint64_t word, char c)
{
    return ~Differs(word, c) & kHigh;
}

// Where the first marked byte lies in memory; `marks` is not zero.
std::size_t FirstMarked(std::uint64_t marks)
{
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
}

// The first '<', '&' or byte above 0x7F, or `end`: text before it needs no more checks.
const char* PlainTextEnd(const char* p, const char* end)
{
    for (; end - p >= 8; p += 8) {
        const std::uint64_t word = LoadWord(p);
        if (const std::uint64_t marks = Equals(word, '<') | Equals(word, '&') | (word & kHigh)) {
            return p + FirstMarked(marks);
        }
    }
    while (p < end && *p != '<' && *p != '&' && static_cast<unsigned char>(*p) < 0x80) ++p;
    return p;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// CF's white space for numbers, seen byte by byte.
bool IsNumberSpaceByte(unsigned char c)
{
    return (c >= 0x01 && c <= 0x20) || (c >= 0x7F && c <= 0xA0);
}

// C's isspace in the C locale.
bool IsCSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// base64 digit values; -1 skipped (other ASCII), -2 refused (bytes above 0x7F). '=' counts as 0.
struct Base64Table {
    std::int8_t value[256];
    constexpr Base64Table() : value()
    {
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

// Values every document may hold, made once: they own nothing, and no one changes them.
const CFObjectZorp* Constant(CFKind kind, bool truth = false)
{
    static const CFBooleanZorp yes(true);
    static const CFBooleanZorp no(false);
    switch (kind) {
    case CFKind::String: return EmptySequence<CFStringZorp>();
    case CFKind::Data: return EmptySequence<CFBinaryDataZorp>();
    case CFKind::Array: return EmptySequence<CFArrayZorp>();
    case CFKind::Dictionary: return EmptyDictionary();
    default: return truth ? &yes : &no;
    }
}

struct Element {
    Tag tag = Tag::Unknown;
    bool empty = false;  // <tag/>
};

struct Frame {
    Tag tag;           // Plist, Array or Dict
    std::size_t base;  // its first pending value in mValues
    bool expectValue;  // a dictionary that has read a key
};

class XmlReader {
public:
    explicit XmlReader(std::string_view text)
        : mBegin(text.data()),
          mCur(text.data()),
          mEnd(text.data() + text.size()),
          mArena(std::make_shared<Arena>(std::min(text.size() + text.size() / 2, kFirstBlockAtMost)))
    {
        mFrames.reserve(16);
        mValues.reserve(32);
    }

    const CFObjectZorp* Document();
    const ArenaRef& Objects() const { return mArena; }
    ErrorKind Kind() const { return mKind; }
    std::size_t FailedAt() const { return mFailedAt; }

private:
    // A tree takes a little more than its text: a small one fits the first block whole.
    static constexpr std::size_t kFirstBlockAtMost = std::size_t{64} << 10;

    enum class Content { Element, Close, Fail };

    bool Fail(ErrorKind kind) { return FailAt(kind, mCur); }
    bool FailAt(ErrorKind kind, const char* at)
    {
        if (mKind == ErrorKind::None) {
            mKind = kind;
            mFailedAt = static_cast<std::size_t>(std::min(at, mEnd) - mBegin);
        }
        return false;
    }

    std::nullptr_t Refuse(ErrorKind kind)
    {
        Fail(kind);
        return nullptr;
    }
    Content Stop(ErrorKind kind)
    {
        Fail(kind);
        return Content::Fail;
    }

    std::size_t Left() const { return static_cast<std::size_t>(mEnd - mCur); }
    void SkipSpace()
    {
        for (; Left() >= 8; mCur += 8) {
            if (const std::uint64_t marks = NotMarkupSpace(LoadWord(mCur))) {
                mCur += FirstMarked(marks);
                return;
            }
        }
        while (mCur < mEnd && IsMarkupSpace(*mCur)) ++mCur;
    }

    bool SkipComment();
    bool SkipProcessingInstruction();
    bool SkipDoctype();
    Content NextContent();
    bool ScanTag(Element& element);
    bool ScanAnyTag(Element& element);
    bool Admit(const Element& element);
    bool Begin(const Element& element, const CFObjectZorp*& value, bool& complete);
    void Deliver(const CFObjectZorp* value);
    bool CloseFrame(const CFObjectZorp*& value);
    bool CloseTag(Tag tag);

    bool Text(std::string& out);
    bool Entity(std::string& out);
    bool CData(std::string& out);
    bool Integer(const CFObjectZorp*& value);
    bool Real(const CFObjectZorp*& value);
    bool Date(const CFObjectZorp*& value);
    bool Data(const CFObjectZorp*& value);
    const CFObjectZorp* String(std::string_view text);
    const CFObjectZorp* MakeDictionary(const Frame& frame);

    const char* mBegin;
    const char* mCur;
    const char* mEnd;
    ErrorKind mKind = ErrorKind::None;
    std::size_t mFailedAt = 0;

    std::vector<Frame> mFrames;
    std::vector<const CFObjectZorp*> mValues;  // children of the open containers, in order
    int mContainerDepth = 0;
    int mPlistDepth = 0;
    ArenaRef mArena;
    std::string mScratch;  // text that is not plain, and data, before they are copied in
};

// Before the root, as CF: white space, comments, processing instructions and one kind of DOCTYPE.
const CFObjectZorp* XmlReader::Document()
{
    while (mCur < mEnd) {
        SkipSpace();
        if (Left() <= 1) return Refuse(ErrorKind::NoRoot);
        if (*mCur != '<') return Refuse(ErrorKind::UnexpectedText);
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
    if (mCur >= mEnd) return Refuse(ErrorKind::NoRoot);

    const CFObjectZorp* value = nullptr;
    bool complete = false;
    Element element;
    if (!ScanTag(element) || !Begin(element, value, complete)) return nullptr;
    for (;;) {
        if (complete) {
            if (mFrames.empty()) return value;  // anything after the root is ignored, as CF does
            Deliver(value);
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
bool XmlReader::SkipComment()
{
    for (const char* p = mCur; mEnd - p > 3; ++p) {
        if (p[0] == '-' && p[1] == '-' && p[2] == '>') {
            mCur = p + 3;
            return true;
        }
    }
    return Fail(ErrorKind::Unterminated);
}

bool XmlReader::SkipProcessingInstruction()
{
    for (const char* p = mCur; mEnd - p > 2; ++p) {
        if (p[0] == '?' && p[1] == '>') {
            mCur = p + 2;
            return true;
        }
    }
    return Fail(ErrorKind::Unterminated);
}

// Never fetched or interpreted; an internal subset fails, as in CF.
bool XmlReader::SkipDoctype()
{
    if (Left() < 7 || std::memcmp(mCur, "DOCTYPE", 7) != 0) return Fail(ErrorKind::BadMarkup);
    mCur += 7;
    SkipSpace();
    while (mCur < mEnd && *mCur != '[' && *mCur != '>') ++mCur;
    if (mCur >= mEnd) return Fail(ErrorKind::UnexpectedEnd);
    if (*mCur == '[') return Fail(ErrorKind::DoctypeSubset);
    ++mCur;
    return true;
}

// Inside a container: skips white space, comments and processing instructions. Element leaves
// mCur after the '<'; Close leaves it at the "</".
XmlReader::Content XmlReader::NextContent()
{
    for (;;) {
        SkipSpace();
        if (mCur >= mEnd) return Stop(ErrorKind::UnexpectedEnd);
        if (*mCur != '<') return Stop(ErrorKind::UnexpectedText);
        ++mCur;
        if (mCur >= mEnd) return Stop(ErrorKind::UnexpectedEnd);
        switch (*mCur) {
        case '?':
            // CF starts looking for "?>" at the '?' itself.
            if (!SkipProcessingInstruction()) return Content::Fail;
            break;
        case '!':
            if (Left() <= 2) return Stop(ErrorKind::UnexpectedEnd);
            if (mCur[1] != '-' || mCur[2] != '-') return Stop(ErrorKind::BadMarkup);
            // From the second '-', as CF does: "<!-->" is a whole comment here.
            mCur += 2;
            if (!SkipComment()) return Content::Fail;
            break;
        case '/': --mCur; return Content::Close;
        default: return Content::Element;
        }
    }
}

// Reads an open tag through its '>'; attributes are ignored, as CF ignores them.
bool XmlReader::ScanTag(Element& element)
{
    // Most tags are a bare name, read and classified in one pass.
    const char* p = mCur;
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < 8 && p < mEnd && *p >= 'a' && *p <= 'z'; ++i, ++p) {
        packed = packed << 8 | static_cast<unsigned char>(*p);
    }
    if (p < mEnd && p > mCur && (*p == '>' || (*p == '/' && mEnd - p > 1 && p[1] == '>'))) {
        element.tag = ClassifyPacked(packed);
        if (element.tag != Tag::Unknown) {
            element.empty = *p == '/';
            mCur = p + (element.empty ? 2 : 1);
            return true;
        }
    }
    return ScanAnyTag(element);
}

bool XmlReader::ScanAnyTag(Element& element)
{
    const char* marker = mCur;
    const auto* gt = static_cast<const char*>(std::memchr(mCur, '>', Left()));
    if (!gt) {
        mCur = mEnd;
        return Fail(ErrorKind::UnexpectedEnd);
    }
    const char* p = marker;
    while (p < gt && !IsMarkupSpace(*p)) ++p;
    element.empty = gt > marker && gt[-1] == '/';
    const std::size_t length = p < gt ? p - marker : gt - marker - (element.empty ? 1 : 0);
    mCur = gt + 1;
    if (length == 0) return FailAt(ErrorKind::MalformedTag, marker);
    element.tag = Classify(std::string_view(marker, length));
    if (element.tag == Tag::Unknown) {
        return FailAt(ErrorKind::UnknownTag, marker);
    }
    return true;
}

bool XmlReader::Admit(const Element& element)
{
    const Frame& frame = mFrames.back();
    if (frame.tag == Tag::Dict && !frame.expectValue && element.tag != Tag::Key) {
        return Fail(ErrorKind::KeyExpected);
    }
    if (frame.tag == Tag::Plist && mValues.size() > frame.base) return Fail(ErrorKind::ExtraValue);
    return true;
}

bool XmlReader::Begin(const Element& element, const CFObjectZorp*& value, bool& complete)
{
    complete = true;
    switch (element.tag) {
    case Tag::Plist:
        if (element.empty) return Fail(ErrorKind::EmptyElement);
        if (mPlistDepth >= kMaxDepth) return Fail(ErrorKind::TooDeep);
        ++mPlistDepth;
        mFrames.push_back({Tag::Plist, mValues.size(), false});
        complete = false;
        return true;
    case Tag::Array:
    case Tag::Dict:
        if (mContainerDepth >= kMaxDepth) return Fail(ErrorKind::TooDeep);
        if (element.empty) {
            if (element.tag == Tag::Array)
                value = Constant(CFKind::Array);
            else
                value = Constant(CFKind::Dictionary);
            return true;
        }
        ++mContainerDepth;
        mFrames.push_back({element.tag, mValues.size(), false});
        complete = false;
        return true;
    case Tag::Key:
    case Tag::String: {
        if (element.empty) {
            value = Constant(CFKind::String);
            return true;
        }
        // Most text is plain: no entity, no CDATA, valid UTF-8. It is taken straight from the input.
        const char* lt = PlainTextEnd(mCur, mEnd);
        const bool ascii = lt < mEnd && *lt == '<';
        if (!ascii) lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
        if (lt && mEnd - lt > 1 && lt[1] != '!') {
            const std::string_view plain(mCur, static_cast<std::size_t>(lt - mCur));
            if (ascii || (plain.find('&') == std::string_view::npos && IsUTF8(plain))) {
                mCur = lt;
                if (!CloseTag(element.tag)) return false;
                value = String(plain);
                return true;
            }
        }
        std::string& text = mScratch;
        text.clear();
        if (!Text(text) || !CloseTag(element.tag)) return false;
        value = String(text);
        return true;
    }
    case Tag::True:
    case Tag::False:
        if (!element.empty && Left() >= 2 && (mCur[0] != '<' || mCur[1] != '/')) {
            return Fail(ErrorKind::ContentInBoolean);
        }
        if (!element.empty && !CloseTag(element.tag)) return false;
        value = Constant(CFKind::Boolean, element.tag == Tag::True);
        return true;
    case Tag::Data:
    case Tag::Date:
    case Tag::Real:
    case Tag::Integer:
        if (element.empty) return Fail(ErrorKind::EmptyElement);
        if (element.tag == Tag::Data) return Data(value);
        if (element.tag == Tag::Date) return Date(value);
        return element.tag == Tag::Real ? Real(value) : Integer(value);
    case Tag::Unknown: break;
    }
    return Fail(ErrorKind::UnknownTag);
}

void XmlReader::Deliver(const CFObjectZorp* value)
{
    Frame& frame = mFrames.back();
    if (frame.tag == Tag::Dict) frame.expectValue = !frame.expectValue;
    mValues.push_back(value);
}

bool XmlReader::CloseFrame(const CFObjectZorp*& value)
{
    const Frame frame = mFrames.back();
    if (frame.tag == Tag::Dict && frame.expectValue) return Fail(ErrorKind::KeyWithoutValue);
    if (frame.tag == Tag::Plist && mValues.size() == frame.base) return Fail(ErrorKind::EmptyElement);
    if (!CloseTag(frame.tag)) return false;
    switch (frame.tag) {
    case Tag::Plist:
        value = mValues[frame.base];
        --mPlistDepth;
        break;
    case Tag::Array: {
        const std::size_t count = mValues.size() - frame.base;
        if (count == 0) {
            value = Constant(CFKind::Array);
        } else {
            value = mArena->Sequence<CFArrayZorp>(std::span(mValues).subspan(frame.base));
        }
        --mContainerDepth;
        break;
    }
    default:
        value = MakeDictionary(frame);
        --mContainerDepth;
        break;
    }
    mValues.resize(frame.base);
    mFrames.pop_back();
    return true;
}

const CFObjectZorp* XmlReader::String(std::string_view text)
{
    if (text.empty()) return Constant(CFKind::String);
    return mArena->Sequence<CFStringZorp>(text);
}

const CFObjectZorp* XmlReader::MakeDictionary(const Frame& frame)
{
    const auto* dict = mArena->Dictionary(std::span(mValues).subspan(frame.base), Repeated::KeepLast);
    // A lone CF$UID with a number is a keyed-archiver reference, its number taken as 32 bits.
    if (dict->Count() == 1) {
        const CFDictionaryZorp::Entry& entry = dict->Entries().front();
        const auto& key = static_cast<const CFStringZorp&>(*entry.key);
        if (key.Text() == "CF$UID") {
            if (entry.value->Kind() == CFKind::Integer) {
                const auto bits = static_cast<const CFIntegerZorp&>(*entry.value).Bits();
                return mArena->New<CFUIDZorp>(static_cast<std::uint32_t>(bits));
            }
            if (entry.value->Kind() == CFKind::Real) {
                const double d = static_cast<const CFRealZorp&>(*entry.value).Value();
                std::uint32_t v = 0;
                if (d > -9.2e18 && d < 9.2e18) v = static_cast<std::uint32_t>(static_cast<std::int64_t>(d));
                return mArena->New<CFUIDZorp>(v);
            }
        }
    }
    return dict;
}

// "</name" + white space + ">".
bool XmlReader::CloseTag(Tag tag)
{
    const std::string_view name = NameOf(tag);
    const CloseWord& close = kCloseWords.of[static_cast<int>(tag)];
    if (close.mask != 0 && Left() >= 9 && mCur[0] == '<' && (LoadWord(mCur + 1) & close.mask) == close.word) {
        mCur += name.size() + 3;
        return true;
    }
    if (Left() < name.size() + 3) return Fail(ErrorKind::UnexpectedEnd);
    if (mCur[0] != '<' || mCur[1] != '/') return Fail(ErrorKind::MismatchedCloseTag);
    if (std::memcmp(mCur + 2, name.data(), name.size()) != 0) {
        return Fail(ErrorKind::MismatchedCloseTag);
    }
    mCur += 2 + name.size();
    if (*mCur != '>') {
        SkipSpace();
        if (mCur >= mEnd) return Fail(ErrorKind::UnexpectedEnd);
        if (*mCur != '>') return Fail(ErrorKind::MismatchedCloseTag);
    }
    ++mCur;
    return true;
}

// Character data up to the next markup, with entities and CDATA sections expanded; mCur stops at
// the '<' that ends it.
bool XmlReader::Text(std::string& out)
{
    const char* mark = mCur;
    // An entity never passes the next '<', so it is looked for again only after a CDATA section.
    const auto* lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
    while (mCur < mEnd) {
        const char* stop = lt ? lt : mEnd;
        const auto* amp =
            static_cast<const char*>(std::memchr(mCur, '&', static_cast<std::size_t>(stop - mCur)));
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
    if (!CheckUTF8(out)) return FailAt(ErrorKind::BadEncoding, mark);
    return true;
}

bool XmlReader::Entity(std::string& out)
{
    const char* amp = mCur++;
    const std::size_t left = Left();
    const auto unknown = [&] { return FailAt(ErrorKind::UnknownEntity, amp); };
    if (left < 1) return Fail(ErrorKind::UnexpectedEnd);
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
        if (left < 4) return Fail(ErrorKind::UnexpectedEnd);
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
        if (left < 4) return Fail(ErrorKind::UnexpectedEnd);
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
                if (!IsScalarValue(code)) {
                    return FailAt(ErrorKind::BadCharacterReference, amp);
                }
                AppendUTF8(code, out);
                return true;
            }
            const int digit = DigitValue(c, hex);
            if (digit < 0) return FailAt(ErrorKind::BadCharacterReference, mCur - 1);
            code =
                std::min<std::uint32_t>(code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit), 0x110000);
        }
        return Fail(ErrorKind::UnexpectedEnd);
    }
    default: return unknown();
    }
}

bool XmlReader::CData(std::string& out)
{
    if (Left() < 9) return Fail(ErrorKind::UnexpectedEnd);
    if (std::memcmp(mCur, "<![CDATA[", 9) != 0) return Fail(ErrorKind::BadMarkup);
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
    return Fail(ErrorKind::Unterminated);
}

// Optional white space, sign, white space, then decimal or 0x-hex digits up to the close tag.
bool XmlReader::Integer(const CFObjectZorp*& value)
{
    const auto space = [&] {
        while (mCur < mEnd && IsNumberSpaceByte(static_cast<unsigned char>(*mCur))) ++mCur;
    };
    space();
    if (mCur < mEnd && *mCur == '<') return Fail(ErrorKind::EmptyElement);
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
    if (mCur < mEnd && *mCur == '<' && !leadingZero) return Fail(ErrorKind::BadInteger);
    const std::uint64_t base = hex ? 16 : 10;
    std::uint64_t magnitude = 0;
    for (; mCur < mEnd && *mCur != '<'; ++mCur) {
        const char c = *mCur;
        const int d = DigitValue(c, hex);
        if (d < 0) return Fail(ErrorKind::BadInteger);
        const auto digit = static_cast<std::uint64_t>(d);
        if (magnitude > (UINT64_MAX - digit) / base) return Fail(ErrorKind::IntegerOutOfRange);
        magnitude = magnitude * base + digit;
        if (negative && magnitude > (std::uint64_t{1} << 63)) return Fail(ErrorKind::IntegerOutOfRange);
    }
    if (!CloseTag(Tag::Integer)) return false;
    if (negative)
        value = mArena->New<CFIntegerZorp>(0 - magnitude, false);
    else
        value = mArena->New<CFIntegerZorp>(magnitude, magnitude > static_cast<std::uint64_t>(INT64_MAX));
    return true;
}

// CF's white space for its number scanner, on UTF-8: U+0001-U+0020, U+007F-U+00A0, U+2000-U+200B, U+3000.
std::size_t NumberSpaceLength(std::string_view s, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if ((c >= 0x01 && c <= 0x20) || c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < s.size() && at(i + 1) >= 0x80 && at(i + 1) <= 0xA0) return 2;
    if (c == 0xE2 && i + 2 < s.size() && at(i + 1) == 0x80 && at(i + 2) >= 0x80 && at(i + 2) <= 0x8B)
        return 3;
    if (c == 0xE3 && i + 2 < s.size() && at(i + 1) == 0x80 && at(i + 2) == 0x80) return 3;
    return 0;
}

// Decimal notation as strtod reads it, and nothing else: [+-] digits [. digits] [e [+-] digits].
bool ScanDecimal(std::string_view s, double& result)
{
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
        const std::string_view mantissa =
            s.substr(start, (e == std::string_view::npos ? s.size() : e) - start);
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

bool XmlReader::Real(const CFObjectZorp*& value)
{
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
        if (!ScanDecimal(std::string_view(text).substr(i), d)) return FailAt(ErrorKind::BadReal, start);
    }
    if (!CloseTag(Tag::Real)) return false;
    value = mArena->New<CFRealZorp>(d);
    return true;
}

// YYYY-MM-DDTHH:MM:SSZ with a year of any length and sign; fields roll over as in CF.
bool XmlReader::Date(const CFObjectZorp*& value)
{
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
    if (!ok || !CloseTag(Tag::Date)) return FailAt(ErrorKind::BadDate, start);
    // CF's month table has 16 places; beyond them it reads whatever follows, so we refuse.
    if (date.month > 15) return FailAt(ErrorKind::BadDate, start);
    date.year = static_cast<std::int32_t>(negative ? 0u - year : year);
    value = mArena->New<CFDateZorp>(AbsoluteTimeFromGregorian(date));
    return true;
}

// base64 as CF decodes it: other ASCII skipped, '=' a zero digit, a partial last group dropped.
bool XmlReader::Data(const CFObjectZorp*& value)
{
    const auto* lt = static_cast<const char*>(std::memchr(mCur, '<', Left()));
    const char* stop = lt ? lt : mEnd;
    std::string& bytes = mScratch;
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(stop - mCur) / 4 * 3 + 3);
    std::uint32_t accumulator = 0;
    unsigned digits = 0;
    unsigned padding = 0;  // '=' seen since the last digit that was not '=' (white space aside)
    for (const char* p = mCur; p < stop; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '=')
            ++padding;
        else if (!IsCSpace(c))
            padding = 0;
        const int v = kBase64.value[c];
        if (v == -2) return FailAt(ErrorKind::BadData, p);
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
    value = bytes.empty() ? Constant(CFKind::Data) : mArena->Sequence<CFBinaryDataZorp>(bytes);
    return true;
}

}  // namespace

ParseResult ParseXML(std::string_view bytes)
{
    if (bytes.empty()) return {nullptr, Format::XML, {ErrorKind::Empty, 0}};
    ParseResult result{nullptr, Format::XML, {}};
    XmlSource source;
    if (!DecodeXmlSource(bytes, source, result.error)) return result;
    XmlReader reader(source.text);
    result.root = ShareOf(reader.Objects(), reader.Document());
    if (!result.root) result.error = {reader.Kind(), OriginalOffset(source, bytes, reader.FailedAt())};
    return result;
}

}  // namespace plist::detail
