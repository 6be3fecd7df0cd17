#include "calendar.h"
#include "readers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace plist {
namespace {

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kFooter = "</plist>\n";

// Shared subtrees are written out in full; this stops a small binary list from asking for terabytes.
constexpr std::size_t kMaxOutput = std::size_t{1} << 30;

constexpr std::size_t kMaxReal = 24;     // "-2.2250738585072014e-308"
constexpr std::size_t kMaxDate = 72;     // far dates: any of the six fields may be "-2147483648"
constexpr std::size_t kMaxInteger = 20;  // "18446744073709551615", "-9223372036854775808"

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

using Entry = CFDictionaryZorp::Entry;

const std::string& TextOf(const CFObjectZorp& o) { return static_cast<const CFStringZorp&>(o).Text(); }

// Dictionary order: UTF-16 code units, which is UTF-8 byte order except that characters above
// U+FFFF (surrogate pairs) come before U+E000-U+FFFF.
bool KeyLess(const Entry* x, const Entry* y) {
    const std::string& a = TextOf(*x->key);
    const std::string& b = TextOf(*y->key);
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) return a.size() < b.size();
    const auto p = static_cast<unsigned char>(a[i]);
    const auto q = static_cast<unsigned char>(b[i]);
    if (p >= 0xF0 && (q == 0xEE || q == 0xEF)) return true;
    if (q >= 0xF0 && (p == 0xEE || p == 0xEF)) return false;
    return p < q;
}

std::size_t EscapedSize(const std::string& text) {
    std::size_t size = text.size();
    for (const char c : text) {
        if (c == '&') size += 4;
        else if (c == '<' || c == '>') size += 3;
    }
    return size;
}

std::size_t Base64Size(std::size_t bytes, std::size_t level) {
    if (bytes == 0) return 0;
    const std::size_t indent = std::min<std::size_t>(level, 8);
    const std::size_t width = 76 - 8 * indent;
    const std::size_t chars = (bytes + 2) / 3 * 4;
    const std::size_t lines = (chars + width - 1) / width;
    return chars + lines * (indent + 1);
}

std::size_t FormatInteger(const CFIntegerZorp& n, char* out) {
    const auto result = n.IsUnsigned() ? std::to_chars(out, out + kMaxInteger, n.Bits())
                                       : std::to_chars(out, out + kMaxInteger, n.AsSigned());
    return static_cast<std::size_t>(result.ptr - out);
}

// C's "%.17g", with CF's own words for the special values.
std::size_t FormatReal(double v, char* out) {
    std::string_view special;
    if (std::isnan(v)) special = "nan";
    else if (std::isinf(v)) special = v > 0 ? "+infinity" : "-infinity";
    else if (v == 0.0) special = "0.0";
    if (!special.empty()) {
        std::memcpy(out, special.data(), special.size());
        return special.size();
    }
    return static_cast<std::size_t>(std::to_chars(out, out + kMaxReal, v, std::chars_format::general, 17).ptr - out);
}

// C's "%0*d".
char* PutPadded(char* out, std::int32_t value, int width) {
    char digits[12];
    const auto magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    const int length = static_cast<int>(std::to_chars(digits, digits + sizeof digits, magnitude).ptr - digits);
    if (value < 0) *out++ = '-', --width;
    for (int i = length; i < width; ++i) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(length));
    return out + length;
}

// "%04d-%02d-%02dT%02d:%02d:%02dZ" of CF's Gregorian fields, seconds rounded down.
std::size_t FormatDate(double seconds, char* out) {
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
    std::size_t next;   // next child to write
    std::size_t level;
    std::size_t keys;   // dictionaries: where their sorted entries start in the key stack
};

std::size_t ChildCount(const CFObjectZorp& node) {
    return node.Kind() == CFKind::Array ? static_cast<const CFArrayZorp&>(node).Items().size()
                                        : static_cast<const CFDictionaryZorp&>(node).Count();
}

bool IsOpenContainer(const CFObjectZorp& node) {
    return (node.Kind() == CFKind::Array || node.Kind() == CFKind::Dictionary) && ChildCount(node) > 0;
}

// First pass: checks that XML can carry the tree and bounds the output size (exact except for
// reals and dates, which count at their longest).
class Sizer {
public:
    bool Measure(const CFObjectZorp& root, std::size_t& total) {
        total = kHeader.size() + kFooter.size();
        if (!Leaf(root, 0, total)) return false;
        if (IsOpenContainer(root)) mFrames.push_back({&root, 0, 0, 0});
        while (!mFrames.empty()) {
            Frame& f = mFrames.back();
            if (f.next == ChildCount(*f.node)) {
                mFrames.pop_back();
                continue;
            }
            const std::size_t level = f.level + 1;
            const CFObjectZorp* child;
            if (f.node->Kind() == CFKind::Array) {
                child = static_cast<const CFArrayZorp&>(*f.node).Items()[f.next++].get();
            } else {
                const Entry& e = static_cast<const CFDictionaryZorp&>(*f.node).Entries()[f.next++];
                if (e.key->Kind() != CFKind::String) return false;
                total += level + 12 + EscapedSize(TextOf(*e.key));  // <key></key>\n
                child = e.value.get();
            }
            if (!Leaf(*child, level, total)) return false;
            if (IsOpenContainer(*child)) {
                // Deeper than any reader builds: only a dictionary that holds itself gets here.
                if (mFrames.size() >= static_cast<std::size_t>(kMaxDepth)) return false;
                mFrames.push_back({child, 0, level, 0});
            }
        }
        return true;
    }

private:
    // The node's own lines: all of a leaf, or the open and close lines of a container.
    static bool Leaf(const CFObjectZorp& node, std::size_t level, std::size_t& total) {
        std::size_t size = level + 1;
        switch (node.Kind()) {
        case CFKind::String: size += 17 + EscapedSize(TextOf(node)); break;
        case CFKind::Data:
            size += 6 + level + 8 + Base64Size(static_cast<const CFBinaryDataZorp&>(node).Bytes().size(), level);
            break;
        case CFKind::Integer: size += 19 + kMaxInteger; break;
        case CFKind::Real: size += 13 + kMaxReal; break;
        case CFKind::Date: {
            if (!std::isfinite(static_cast<const CFDateZorp&>(node).Seconds())) return false;
            size += 13 + kMaxDate;
            break;
        }
        case CFKind::Boolean: size += 8; break;
        case CFKind::UID: size += 6 + 2 * (level + 1) + 18 + 19 + kMaxInteger + level + 8; break;
        case CFKind::Array: size += ChildCount(node) ? 7 + level + 9 : 8; break;
        case CFKind::Dictionary: size += ChildCount(node) ? 6 + level + 8 : 7; break;
        case CFKind::Null:
        case CFKind::Set: return false;
        }
        total += size;
        return total <= kMaxOutput;
    }

    std::vector<Frame> mFrames;
};

// Second pass: writes into a buffer the first pass made large enough.
class Writer {
public:
    explicit Writer(char* out) : mOut(out) {}

    char* Write(const CFObjectZorp& root) {
        Put(kHeader);
        Node(root, 0);
        while (!mFrames.empty()) {
            Frame& f = mFrames.back();
            if (f.next == ChildCount(*f.node)) {
                const bool array = f.node->Kind() == CFKind::Array;
                Tabs(f.level);
                Put(array ? std::string_view("</array>\n") : std::string_view("</dict>\n"));
                mKeys.resize(f.keys);
                mFrames.pop_back();
                continue;
            }
            const std::size_t level = f.level + 1;
            if (f.node->Kind() == CFKind::Array) {
                const CFObjectZorp& child = *static_cast<const CFArrayZorp&>(*f.node).Items()[f.next++];
                Node(child, level);
            } else {
                const Entry& e = *mKeys[f.keys + f.next++];
                Tabs(level);
                Put("<key>");
                Escaped(TextOf(*e.key));
                Put("</key>\n");
                Node(*e.value, level);
            }
        }
        Put(kFooter);
        return mOut;
    }

private:
    void Put(std::string_view s) {
        std::memcpy(mOut, s.data(), s.size());
        mOut += s.size();
    }
    void Tabs(std::size_t n) {
        std::memset(mOut, '\t', n);
        mOut += n;
    }

    void Escaped(const std::string& text) {
        const char* p = text.data();
        const char* end = p + text.size();
        const char* run = p;
        for (; p < end; ++p) {
            const char c = *p;
            if (c != '&' && c != '<' && c != '>') continue;
            Put(std::string_view(run, static_cast<std::size_t>(p - run)));
            Put(c == '&' ? std::string_view("&amp;") : c == '<' ? std::string_view("&lt;") : std::string_view("&gt;"));
            run = p + 1;
        }
        Put(std::string_view(run, static_cast<std::size_t>(end - run)));
    }

    void Base64(const std::string& bytes, std::size_t level) {
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
                mOut[0] = kBase64Digits[a >> 2];
                mOut[1] = kBase64Digits[((a << 4) | (b >> 4)) & 0x3F];
                mOut[2] = left > 1 ? kBase64Digits[((b << 2) | (c >> 6)) & 0x3F] : '=';
                mOut[3] = left > 2 ? kBase64Digits[c & 0x3F] : '=';
                mOut += 4;
                const std::size_t used = std::min<std::size_t>(left, 3);
                p += used;
                left -= used;
            }
            *mOut++ = '\n';
        }
    }

    void Node(const CFObjectZorp& node, std::size_t level) {
        Tabs(level);
        switch (node.Kind()) {
        case CFKind::String:
            Put("<string>");
            Escaped(TextOf(node));
            Put("</string>\n");
            return;
        case CFKind::Boolean:
            Put(static_cast<const CFBooleanZorp&>(node).Value() ? std::string_view("<true/>\n")
                                                                : std::string_view("<false/>\n"));
            return;
        case CFKind::Integer:
            Put("<integer>");
            mOut += FormatInteger(static_cast<const CFIntegerZorp&>(node), mOut);
            Put("</integer>\n");
            return;
        case CFKind::Real:
            Put("<real>");
            mOut += FormatReal(static_cast<const CFRealZorp&>(node).Value(), mOut);
            Put("</real>\n");
            return;
        case CFKind::Date:
            Put("<date>");
            mOut += FormatDate(static_cast<const CFDateZorp&>(node).Seconds(), mOut);
            Put("</date>\n");
            return;
        case CFKind::Data:
            Put("<data>\n");
            Base64(static_cast<const CFBinaryDataZorp&>(node).Bytes(), level);
            Tabs(level);
            Put("</data>\n");
            return;
        case CFKind::UID: {
            Put("<dict>\n");
            Tabs(level + 1);
            Put("<key>CF$UID</key>\n");
            Tabs(level + 1);
            Put("<integer>");
            mOut += FormatInteger(CFIntegerZorp(static_cast<const CFUIDZorp&>(node).Value(), false), mOut);
            Put("</integer>\n");
            Tabs(level);
            Put("</dict>\n");
            return;
        }
        case CFKind::Array:
            if (ChildCount(node) == 0) return Put("<array/>\n");
            Put("<array>\n");
            mFrames.push_back({&node, 0, level, mKeys.size()});
            return;
        case CFKind::Dictionary: {
            const auto& entries = static_cast<const CFDictionaryZorp&>(node).Entries();
            if (entries.empty()) return Put("<dict/>\n");
            Put("<dict>\n");
            const std::size_t first = mKeys.size();
            for (const Entry& e : entries) mKeys.push_back(&e);
            const auto begin = mKeys.begin() + static_cast<std::ptrdiff_t>(first);
            // Lists written by CF are sorted already.
            if (!std::is_sorted(begin, mKeys.end(), KeyLess)) std::sort(begin, mKeys.end(), KeyLess);
            mFrames.push_back({&node, 0, level, first});
            return;
        }
        case CFKind::Null:
        case CFKind::Set:
            return;  // refused by the first pass
        }
    }

    char* mOut;
    std::vector<Frame> mFrames;
    std::vector<const Entry*> mKeys;  // the sorted entries of every open dictionary
};

}  // namespace

std::optional<std::string> WriteXML(const CFObjectZorp& root) {
    std::size_t bound = 0;
    if (!Sizer().Measure(root, bound)) return std::nullopt;
    std::string out(bound, '\0');
    const char* end = Writer(out.data()).Write(root);
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

}  // namespace plist
