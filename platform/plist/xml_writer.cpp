// SPDX-License-Identifier: MIT
#include "platform/byteorder/byteorder.h"
#include "platform/plist/detail/calendar.h"
#include "platform/plist/detail/readers.h"
#include "platform/plist/plist.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace plist {
namespace {

using detail::GregorianDate;
using detail::GregorianFromAbsoluteTime;
using detail::kMaxDepth;

constexpr std::string_view kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\">\n";
constexpr std::string_view kFooter = "</plist>\n";

// Shared subtrees are written out in full; this stops a small binary list from asking for terabytes.
constexpr std::size_t kMaxOutput = std::size_t{1} << 30;

// An element's markup around its content; sizes are counted from these texts, nowhere else.
struct Markup {
    std::string_view open, close;
    constexpr std::size_t Size() const { return open.size() + close.size(); }
};
constexpr Markup kString{"<string>", "</string>\n"};
constexpr Markup kKey{"<key>", "</key>\n"};
constexpr Markup kInteger{"<integer>", "</integer>\n"};
constexpr Markup kReal{"<real>", "</real>\n"};
constexpr Markup kDate{"<date>", "</date>\n"};
constexpr Markup kData{"<data>\n", "</data>\n"};
constexpr Markup kArray{"<array>\n", "</array>\n"};
constexpr Markup kDict{"<dict>\n", "</dict>\n"};
constexpr std::string_view kEmptyArray = "<array/>\n";
constexpr std::string_view kEmptyDict = "<dict/>\n";
constexpr std::string_view kTrue = "<true/>\n";
constexpr std::string_view kFalse = "<false/>\n";
constexpr std::string_view kUIDKey = "<key>CF$UID</key>\n";

// The longest text of each number kind.
constexpr std::size_t kMaxReal = std::string_view("-2.2250738585072014e-308").size();
constexpr std::size_t kMaxInteger = std::max(std::string_view("18446744073709551615").size(),
                                             std::string_view("-9223372036854775808").size());
// Far dates: any of the six fields may be "-2147483648", between "--T::" and "Z".
constexpr std::size_t kMaxDate =
    6 * std::string_view("-2147483648").size() + std::string_view("--T::Z").size();

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

using Entry = CFDictionaryZorp::Entry;

std::string_view TextOf(const CFObjectZorp& o)
{
    return static_cast<const CFStringZorp&>(o).Text();
}

// Dictionary order: UTF-16 code units, which is UTF-8 byte order except that characters above
// U+FFFF (surrogate pairs) come before U+E000-U+FFFF.
bool KeyLess(const Entry* x, const Entry* y)
{
    const std::string_view a = TextOf(*x->key);
    const std::string_view b = TextOf(*y->key);
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t p, q;
        std::memcpy(&p, a.data() + i, 8);
        std::memcpy(&q, b.data() + i, 8);
        if (p != q) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) return a.size() < b.size();
    const auto p = static_cast<unsigned char>(a[i]);
    const auto q = static_cast<unsigned char>(b[i]);
    if (p >= 0xF0 && (q == 0xEE || q == 0xEF)) return true;
    if (q >= 0xF0 && (p == 0xEE || p == 0xEF)) return false;
    return p < q;
}

// The high bit of each byte of `word` that equals `c` (exact: no false matches).
std::uint64_t Matches(std::uint64_t word, unsigned char c)
{
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t v = word ^ (c * 0x0101010101010101ull);
    return ~(((v & kLow7) + kLow7) | v | kLow7);
}

std::uint64_t Load(const char* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// Keys sort on their first 16 bytes, packed as two big-endian words in which UTF-8 lead bytes
// are renumbered so that plain word order is UTF-16 order (lead bytes F0-F4, the surrogate pairs,
// before EE-EF). Equal prefixes fall back to KeyLess.
struct SortKey {
    std::uint64_t high, low;
    const Entry* entry;
};

constexpr std::uint8_t SortByte(std::uint8_t b)
{
    if (b == 0xEE || b == 0xEF) return static_cast<std::uint8_t>(b + 7);
    if (b >= 0xF0 && b <= 0xF4) return static_cast<std::uint8_t>(b - 2);
    return b;
}

std::uint64_t BigEndian(const unsigned char* b)
{
    return byteorder::BigEndian64(reinterpret_cast<const char*>(b));
}

SortKey MakeSortKey(const Entry& entry)
{
    const std::string_view text = TextOf(*entry.key);
    unsigned char bytes[16] = {};
    std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 16));
    std::uint64_t high = BigEndian(bytes), low = BigEndian(bytes + 8);
    if ((high | low) & 0x8080808080808080ull) {
        for (unsigned char& b : bytes) b = SortByte(b);
        high = BigEndian(bytes);
        low = BigEndian(bytes + 8);
    }
    return {high, low, &entry};
}

bool SortKeyLess(const SortKey& a, const SortKey& b)
{
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    return KeyLess(a.entry, b.entry);
}

constexpr std::string_view kAmp = "&amp;", kLt = "&lt;", kGt = "&gt;";
static_assert(kLt.size() == kGt.size(), "'<' and '>' are counted together");
constexpr std::size_t kLongestEscape = std::max({kAmp.size(), kLt.size(), kGt.size()});

// Extra bytes each character takes when escaped.
struct EscapeTable {
    std::uint8_t extra[256] = {};
    constexpr EscapeTable()
    {
        extra[static_cast<unsigned char>('&')] = kAmp.size() - 1;
        extra[static_cast<unsigned char>('<')] = kLt.size() - 1;
        extra[static_cast<unsigned char>('>')] = kGt.size() - 1;
    }
};
constexpr EscapeTable kEscape;

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// The high bits of the '&' bytes and of the '<' or '>' bytes ('<' | 2 is '>').
std::uint64_t Ampersands(std::uint64_t w)
{
    return Matches(w, '&');
}
std::uint64_t Angles(std::uint64_t w)
{
    return Matches(w | 0x0202020202020202ull, '>');
}

// The 8 bytes ending at `end` with the first `stale` of them (already looked at) zeroed.
std::uint64_t LastWord(const char* end, std::size_t stale)
{
    const std::uint64_t w = Load(end - 8);
    if (stale == 0) return w;
    return kLittleEndian ? w & (~0ull << (8 * stale)) : w & (~0ull >> (8 * stale));
}

std::size_t EscapedSize(std::string_view text)
{
    const std::size_t n = text.size();
    const char* p = text.data();
    std::size_t size = n;
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) size += kEscape.extra[static_cast<unsigned char>(p[i])];
        return size;
    }
    const auto add = [&](std::uint64_t w) {
        const std::uint64_t amp = Ampersands(w), angle = Angles(w);
        if (amp | angle)
            size += (kAmp.size() - 1) * static_cast<std::size_t>(std::popcount(amp)) +
                    (kLt.size() - 1) * static_cast<std::size_t>(std::popcount(angle));
    };
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) add(Load(p + i));
    if (i < n) add(LastWord(p + n, 8 - (n - i)));
    return size;
}

// The first '&', '<' or '>' in [p, end), or end.
const char* FindSpecial(const char* p, const char* end)
{
    const auto first = [](std::uint64_t m) {
        return static_cast<std::size_t>((kLittleEndian ? std::countr_zero(m) : std::countl_zero(m)) / 8);
    };
    const char* start = p;
    for (; end - p >= 8; p += 8) {
        const std::uint64_t w = Load(p);
        if (const std::uint64_t m = Ampersands(w) | Angles(w)) return p + first(m);
    }
    if (p == end) return end;
    if (end - start >= 8) {
        const std::size_t stale = 8 - static_cast<std::size_t>(end - p);
        const std::uint64_t w = LastWord(end, stale);
        const std::uint64_t m = Ampersands(w) | Angles(w);
        return m ? end - 8 + first(m) : end;
    }
    for (; p < end; ++p) {
        if (kEscape.extra[static_cast<unsigned char>(*p)]) return p;
    }
    return end;
}

std::size_t Base64Size(std::size_t bytes, std::size_t level)
{
    if (bytes == 0) return 0;
    const std::size_t indent = std::min<std::size_t>(level, 8);
    const std::size_t width = 76 - 8 * indent;
    const std::size_t chars = (bytes + 2) / 3 * 4;
    const std::size_t lines = (chars + width - 1) / width;
    return chars + lines * (indent + 1);
}

std::size_t FormatInteger(const CFIntegerZorp& n, char* out)
{
    const auto result = n.IsUnsigned() ? std::to_chars(out, out + kMaxInteger, n.Bits())
                                       : std::to_chars(out, out + kMaxInteger, n.AsSigned());
    return static_cast<std::size_t>(result.ptr - out);
}

// C's "%.17g", with CF's own words for the special values.
std::size_t FormatReal(double v, char* out)
{
    std::string_view special;
    if (std::isnan(v))
        special = "nan";
    else if (std::isinf(v))
        special = v > 0 ? "+infinity" : "-infinity";
    else if (v == 0.0)
        special = "0.0";
    if (!special.empty()) {
        std::memcpy(out, special.data(), special.size());
        return special.size();
    }
    return static_cast<std::size_t>(
        std::to_chars(out, out + kMaxReal, v, std::chars_format::general, 17).ptr - out);
}

// C's "%0*d".
char* PutPadded(char* out, std::int32_t value, int width)
{
    char digits[12];
    const auto magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    const int length =
        static_cast<int>(std::to_chars(digits, digits + sizeof digits, magnitude).ptr - digits);
    if (value < 0) {
        *out++ = '-';
        --width;
    }
    for (int i = length; i < width; ++i) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(length));
    return out + length;
}

// "%04d-%02d-%02dT%02d:%02d:%02dZ" of CF's Gregorian fields, seconds rounded down.
std::size_t FormatDate(double seconds, char* out)
{
    const GregorianDate d = GregorianFromAbsoluteTime(seconds);
    char* p = PutPadded(out, d.year, 4);
    *p++ = '-';
    p = PutPadded(p, d.month, 2);
    *p++ = '-';
    p = PutPadded(p, d.day, 2);
    *p++ = 'T';
    p = PutPadded(p, d.hour, 2);
    *p++ = ':';
    p = PutPadded(p, d.minute, 2);
    *p++ = ':';
    p = PutPadded(p, d.second, 2);
    *p++ = 'Z';
    return static_cast<std::size_t>(p - out);
}

struct Frame {
    const CFObjectZorp* node;
    bool array;        // else a dictionary
    std::size_t next;  // next child to write
    std::size_t count;
    std::size_t level;
    std::size_t keys;  // dictionaries: where their sorted entries start in the key stack
};

std::size_t ChildCount(const CFObjectZorp& node, CFKind kind)
{
    return kind == CFKind::Array ? static_cast<const CFArrayZorp&>(node).Items().size()
                                 : static_cast<const CFDictionaryZorp&>(node).Count();
}

// Text at its written length: exact, or at its longest (every byte escaped) without looking.
std::size_t TextSize(std::string_view text, bool exact)
{
    return exact ? EscapedSize(text) : kLongestEscape * text.size();
}

// The bytes of a node's own lines: all of a leaf, the open line of a container. False for what
// XML cannot carry.
bool OwnSize(const CFObjectZorp& node, CFKind kind, std::size_t level, bool exact, std::size_t& size)
{
    size = level;  // the indent
    switch (kind) {
    case CFKind::String: size += kString.Size() + TextSize(TextOf(node), exact); return true;
    case CFKind::Data:
        size += kData.Size() + level +
                Base64Size(static_cast<const CFBinaryDataZorp&>(node).Bytes().size(), level);
        return true;
    case CFKind::Integer: size += kInteger.Size() + kMaxInteger; return true;
    case CFKind::Real: size += kReal.Size() + kMaxReal; return true;
    case CFKind::Date:
        size += kDate.Size() + kMaxDate;
        return std::isfinite(static_cast<const CFDateZorp&>(node).Value());
    case CFKind::Boolean: size += std::max(kTrue.size(), kFalse.size()); return true;
    case CFKind::UID:
        size += kDict.Size() + level + 2 * (level + 1) + kUIDKey.size() + kInteger.Size() + kMaxInteger;
        return true;
    case CFKind::Array:
        size += ChildCount(node, kind) == 0 ? kEmptyArray.size() : kArray.open.size();
        return true;
    case CFKind::Dictionary:
        size += ChildCount(node, kind) == 0 ? kEmptyDict.size() : kDict.open.size();
        return true;
    case CFKind::Null:
    case CFKind::Set: break;
    }
    return false;
}

// Writes into blocks that never move, making room node by node: growing copies nothing, and the
// text is copied once, into the result, when it is complete. (Sizing first would mean walking a
// tree far beyond the caches twice, which costs more than the one copy.)
class Writer {
public:
    Writer() : mOut(mFirst), mEnd(mFirst + sizeof mFirst)
    {
        mFrames.reserve(16);
        mKeys.reserve(64);
        mSort.reserve(64);
    }

    // False when XML cannot carry the tree or the text would pass kMaxOutput.
    bool Write(const CFObjectZorp& root)
    {
        if (!Room(kHeader.size())) return false;
        Put(kHeader);
        if (!Node(root, 0)) return false;
        while (!mFrames.empty()) {
            Frame& f = mFrames.back();
            if (f.next == f.count) {
                const Markup& markup = f.array ? kArray : kDict;
                if (!Room(f.level + markup.close.size())) return false;
                Tabs(f.level);
                Put(markup.close);
                mKeys.resize(f.keys);
                mFrames.pop_back();
                continue;
            }
            const std::size_t level = f.level + 1;
            if (f.array) {
                const auto items = static_cast<const CFArrayZorp&>(*f.node).Items();
                // A large tree lies far beyond the caches: fetch an item ahead while this one is written.
                if (f.next + 4 < f.count) __builtin_prefetch(items[f.next + 4]);
                const CFObjectZorp& child = *items[f.next++];
                if (!Node(child, level)) return false;
            } else {
                const Entry& e = *mKeys[f.keys + f.next++];
                const std::string_view key = TextOf(*e.key);
                if (!Room(level + kKey.Size() + kLongestEscape * key.size(), false) &&
                    !Room(level + kKey.Size() + EscapedSize(key)))
                    return false;
                Tabs(level);
                Put(kKey.open);
                Escaped(key);
                Put(kKey.close);
                if (!Node(*e.value, level)) return false;
            }
        }
        if (!Room(kFooter.size())) return false;
        Put(kFooter);
        return true;
    }

    // The text written, in one piece.
    std::string Text() const
    {
        std::string text;
        text.reserve(mFilledSize + static_cast<std::size_t>(mOut - mStart));
        Pieces([&text](std::string_view piece) { text.append(piece); });
        return text;
    }

    void Pieces(const std::function<void(std::string_view)>& sink) const
    {
        for (const std::string_view filled : mFilled) {
            if (!filled.empty()) sink(filled);
        }
        sink(std::string_view(mStart, static_cast<std::size_t>(mOut - mStart)));
    }

private:
    static constexpr std::size_t kFirstBlock = std::size_t{8} << 10;
    // The unused end of the last block counts against the peak: larger blocks save little time.
    static constexpr std::size_t kLargestBlock = std::size_t{256} << 10;

    // Room for n more bytes, in a new block if allowed; without `grow`, only what is there.
    bool Room(std::size_t n, bool grow = true)
    {
        if (static_cast<std::size_t>(mEnd - mOut) >= n) {
            mRoomEnd = mOut + n;
            return true;
        }
        if (!grow) return false;
        const std::size_t filled = mFilledSize + static_cast<std::size_t>(mOut - mStart);
        if (filled + n > kMaxOutput) return false;
        mFilled.emplace_back(mStart, static_cast<std::size_t>(mOut - mStart));
        mFilledSize = filled;
        const std::size_t size = std::max(n, mNextBlock);
        mBlocks.push_back(std::make_unique_for_overwrite<char[]>(size));
        mStart = mOut = mBlocks.back().get();
        mEnd = mStart + size;
        mRoomEnd = mOut + n;
        mNextBlock = std::min(2 * mNextBlock, kLargestBlock);
        return true;
    }

    // Where the next `atMost` bytes go: within the room last asked for, so that a size counted
    // short fails here, wherever in its block the text falls.
    char* Claim([[maybe_unused]] std::size_t atMost)
    {
        assert(mOut <= mRoomEnd && static_cast<std::size_t>(mRoomEnd - mOut) >= atMost);
        return mOut;
    }

    void Put(std::string_view s)
    {
        std::memcpy(Claim(s.size()), s.data(), s.size());
        mOut += s.size();
    }
    void Tabs(std::size_t n)
    {
        // Most indents are short: one fixed store of eight tabs beats a call, when the block has room.
        if (n <= 8 && mEnd - mOut >= 8)
            std::memcpy(Claim(n), "\t\t\t\t\t\t\t\t", 8);
        else
            std::memset(Claim(n), '\t', n);
        mOut += n;
    }

    void Escaped(std::string_view text)
    {
        const char* p = text.data();
        const char* end = p + text.size();
        for (;;) {
            const char* special = FindSpecial(p, end);
            Put(std::string_view(p, static_cast<std::size_t>(special - p)));
            if (special == end) return;
            const char c = *special;
            Put(c == '&' ? kAmp : c == '<' ? kLt : kGt);
            p = special + 1;
        }
    }

    void Base64(std::string_view bytes, std::size_t level)
    {
        const std::size_t indent = std::min<std::size_t>(level, 8);
        const std::size_t width = 76 - 8 * indent;  // characters per line, a multiple of 4
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::size_t left = bytes.size();
        while (left > 0) {
            Tabs(indent);
            for (std::size_t chars = 0; chars < width && left > 0; chars += 4) {
                const std::uint32_t a = p[0];
                const std::uint32_t b = left > 1 ? p[1] : 0;
                const std::uint32_t c = left > 2 ? p[2] : 0;
                Claim(4);
                mOut[0] = kBase64Digits[a >> 2];
                mOut[1] = kBase64Digits[((a << 4) | (b >> 4)) & 0x3F];
                mOut[2] = left > 1 ? kBase64Digits[((b << 2) | (c >> 6)) & 0x3F] : '=';
                mOut[3] = left > 2 ? kBase64Digits[c & 0x3F] : '=';
                mOut += 4;
                const std::size_t used = std::min<std::size_t>(left, 3);
                p += used;
                left -= used;
            }
            *Claim(1) = '\n';
            ++mOut;
        }
    }

    bool Node(const CFObjectZorp& node, std::size_t level)
    {
        const CFKind kind = node.Kind();
        std::size_t size = 0;
        if (!OwnSize(node, kind, level, false, size)) return false;
        // Strings count at their longest first; only near the end of the room are they measured.
        if (!Room(size, kind != CFKind::String)) {
            OwnSize(node, kind, level, true, size);
            if (!Room(size)) return false;
        }
        Tabs(level);
        switch (kind) {
        case CFKind::String:
            Put(kString.open);
            Escaped(TextOf(node));
            Put(kString.close);
            return true;
        case CFKind::Boolean:
            Put(static_cast<const CFBooleanZorp&>(node).Value() ? kTrue : kFalse);
            return true;
        case CFKind::Integer:
            Put(kInteger.open);
            mOut += FormatInteger(static_cast<const CFIntegerZorp&>(node), Claim(kMaxInteger));
            Put(kInteger.close);
            return true;
        case CFKind::Real:
            Put(kReal.open);
            mOut += FormatReal(static_cast<const CFRealZorp&>(node).Value(), Claim(kMaxReal));
            Put(kReal.close);
            return true;
        case CFKind::Date:
            Put(kDate.open);
            mOut += FormatDate(static_cast<const CFDateZorp&>(node).Value(), Claim(kMaxDate));
            Put(kDate.close);
            return true;
        case CFKind::Data:
            Put(kData.open);
            Base64(static_cast<const CFBinaryDataZorp&>(node).Bytes(), level);
            Tabs(level);
            Put(kData.close);
            return true;
        case CFKind::UID:
            Put(kDict.open);
            Tabs(level + 1);
            Put(kUIDKey);
            Tabs(level + 1);
            Put(kInteger.open);
            mOut += FormatInteger(CFIntegerZorp(static_cast<const CFUIDZorp&>(node).Value(), false),
                                  Claim(kMaxInteger));
            Put(kInteger.close);
            Tabs(level);
            Put(kDict.close);
            return true;
        case CFKind::Array: {
            const std::size_t count = static_cast<const CFArrayZorp&>(node).Items().size();
            if (count == 0) {
                Put(kEmptyArray);
                return true;
            }
            // Deeper than any reader builds: only a dictionary that holds itself gets here.
            if (mFrames.size() >= static_cast<std::size_t>(kMaxDepth)) return false;
            Put(kArray.open);
            mFrames.push_back({&node, true, 0, count, level, mKeys.size()});
            return true;
        }
        case CFKind::Dictionary: {
            const auto& entries = static_cast<const CFDictionaryZorp&>(node).Entries();
            if (entries.empty()) {
                Put(kEmptyDict);
                return true;
            }
            if (mFrames.size() >= static_cast<std::size_t>(kMaxDepth)) return false;
            // Keys are read now and values after the sort: all fetched together, not one miss at a time.
            for (const Entry& e : entries) {
                __builtin_prefetch(e.key);
                __builtin_prefetch(e.value);
            }
            mSort.clear();
            for (const Entry& e : entries) {
                if (e.key->Kind() != CFKind::String) return false;
                mSort.push_back(MakeSortKey(e));
            }
            // Lists written by CF are sorted already.
            if (!std::is_sorted(mSort.begin(), mSort.end(), SortKeyLess))
                std::sort(mSort.begin(), mSort.end(), SortKeyLess);
            Put(kDict.open);
            mFrames.push_back({&node, false, 0, entries.size(), level, mKeys.size()});
            for (const SortKey& k : mSort) mKeys.push_back(k.entry);
            return true;
        }
        case CFKind::Null:
        case CFKind::Set: break;
        }
        return false;
    }

    char mFirst[kFirstBlock];
    std::vector<std::unique_ptr<char[]>> mBlocks;  // the blocks after mFirst
    std::vector<std::string_view> mFilled;         // the text of each block before the current one
    std::size_t mFilledSize = 0;
    std::size_t mNextBlock = 2 * kFirstBlock;
    char* mStart = mFirst;  // the current block
    char* mOut;
    char* mEnd;
    char* mRoomEnd = mOut;  // the end of the room last made
    std::vector<Frame> mFrames;
    std::vector<const Entry*> mKeys;  // the sorted entries of every open dictionary
    std::vector<SortKey> mSort;
};

}  // namespace

std::optional<std::string> WriteXML(const CFObjectZorp& root)
{
    Writer writer;
    if (!writer.Write(root)) return std::nullopt;
    return writer.Text();
}

bool WriteXML(const CFObjectZorp& root, const std::function<void(std::string_view piece)>& sink)
{
    Writer writer;
    if (!writer.Write(root)) return false;
    writer.Pieces(sink);
    return true;
}

}  // namespace plist
