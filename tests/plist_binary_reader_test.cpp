// SPDX-License-Identifier: MIT
#include "platform/plist/readers.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using plist_dump::Dump;

// Encoders for binary-list objects; references are written one byte wide unless told otherwise.
std::string BigEndian(std::uint64_t v, unsigned size)
{
    std::string out(size, '\0');
    for (unsigned i = 0; i < size && i < 8; ++i) out[size - 1 - i] = static_cast<char>(v >> (8 * i));
    return out;
}

std::string Byte(unsigned b)
{
    return std::string(1, static_cast<char>(b));
}

std::string Marker(unsigned type, std::uint64_t count)
{
    if (count < 15) return Byte(type | static_cast<unsigned>(count));
    return Byte(type | 0x0F) + Byte(0x13) + BigEndian(count, 8);
}

std::string Real(double v, unsigned marker = 0x23)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return Byte(marker) + BigEndian(bits, 8);
}

std::string Ascii(const std::string& s)
{
    return Marker(0x50, s.size()) + s;
}
std::string Uid(std::uint64_t v)
{
    return Byte(0x87) + BigEndian(v, 8);
}

std::string Refs(const std::vector<std::uint64_t>& refs, unsigned size)
{
    std::string out;
    for (auto r : refs) out += BigEndian(r, size);
    return out;
}

std::string Array(const std::vector<std::uint64_t>& refs, unsigned refSize = 1)
{
    return Marker(0xA0, refs.size()) + Refs(refs, refSize);
}
std::string Dict(const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& values)
{
    return Marker(0xD0, keys.size()) + Refs(keys, 1) + Refs(values, 1);
}

// A whole list: header, objects, offset table and trailer, with every field open to a test's change.
struct List {
    std::vector<std::string> objects;
    std::uint64_t top = 0;
    unsigned offsetSize = 1;
    unsigned refSize = 1;

    std::string Bytes() const
    {
        std::string out = "bplist00";
        std::vector<std::uint64_t> offsets;
        for (const auto& o : objects) {
            offsets.push_back(out.size());
            out += o;
        }
        const std::uint64_t table = out.size();
        for (auto o : offsets) out += BigEndian(o, offsetSize);
        out += std::string(6, '\0') + Byte(offsetSize) + Byte(refSize);
        return out + BigEndian(objects.size(), 8) + BigEndian(top, 8) + BigEndian(table, 8);
    }
};

// Trailer fields, counted back from the end of the file.
constexpr std::size_t kOffsetSizeAt = 26, kRefSizeAt = 25, kCountAt = 24, kTopAt = 16, kTableAt = 8;

std::string Patch(std::string bytes, std::size_t fromEnd, const std::string& with)
{
    bytes.replace(bytes.size() - fromEnd, with.size(), with);
    return bytes;
}

// Trees whose content CoreFoundation's XML of them cannot show (null, sets, keys that are not
// strings, negative zero, fractions of a second), and list layouts its golden cases do not use.
TEST(BinaryReader, ReadsEveryValueKind)
{
    struct Case {
        const char* name;
        std::string bytes;
        const char* expected;
    };
    const Case cases[] = {
        {"null, false, true", List{{Array({1, 2, 3}), Byte(0x00), Byte(0x08), Byte(0x09)}}.Bytes(),
         "[null,false,true]"},
        {"negative zero real", List{{Real(-0.0)}}.Bytes(), "r-0"},
        {"UID of 8 bytes with a small value", List{{Uid(5)}}.Bytes(), "u5"},
        {"set", List{{Marker(0xC0, 2) + Refs({1, 2}, 1), Ascii("b"), Byte(0x10) + Byte(3)}}.Bytes(),
         "set[\"b\",3]"},
        {"dictionary with an integer key", List{{Dict({1}, {2}), Byte(0x10) + Byte(100), Ascii("v")}}.Bytes(),
         "{100=\"v\";}"},
        {"offset size 8, reference size 8",
         List{{Marker(0xA0, 1) + BigEndian(1, 8), Ascii("x")}, 0, 8, 8}.Bytes(), "[\"x\"]"},
        {"ASCII string with bytes above 0x7F, as Latin-1", List{{Ascii("caf\xE9 \x80\xFF")}}.Bytes(),
         "\"caf\\xc3\\xa9 \\xc2\\x80\\xc3\\xbf\""},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseBinary(c.bytes);
        EXPECT_EQ(Dump(r.root), c.expected) << c.name << ": " << plist::Describe(r.error.kind);
        EXPECT_EQ(r.format, plist::Format::Binary) << c.name;
    }
}

TEST(BinaryReader, RefusesMalformedLists)
{
    struct Case {
        const char* name;
        std::string bytes;
        plist::ErrorKind kind;
    };
    const std::string good = List{{Array({1}), Ascii("x")}}.Bytes();
    const std::string wide = List{{Array({1}, 2), Ascii("x")}, 0, 2, 2}.Bytes();
    // A chain of 300 arrays used twice, once inside another 300: shared, but 601 deep where used.
    List shared;
    shared.refSize = shared.offsetSize = 2;
    shared.objects.push_back(Array({1, 301}, 2));
    for (std::uint64_t i = 1; i <= 300; ++i) shared.objects.push_back(Array({i + 1}, 2));
    for (std::uint64_t i = 301; i <= 600; ++i) shared.objects.push_back(Array({i == 600 ? 1 : i + 1}, 2));
    List narrow;
    narrow.objects.push_back(Array({1}));
    for (int i = 0; i < 256; ++i) narrow.objects.push_back(Byte(0x09));
    const Case cases[] = {
        {"empty", "", plist::ErrorKind::TooShort},
        {"other header", "bplisx00" + good.substr(8), plist::ErrorKind::BadHeader},
        {"offset size 9", Patch(good, kOffsetSizeAt, Byte(9)), plist::ErrorKind::BadOffsetSize},
        {"reference size 0", Patch(good, kRefSizeAt, Byte(0)), plist::ErrorKind::BadReferenceSize},
        {"object count 2^63", Patch(good, kCountAt, BigEndian(std::uint64_t{1} << 63, 8)),
         plist::ErrorKind::BadObjectCount},
        {"top object beyond the count", Patch(good, kTopAt, BigEndian(2, 8)), plist::ErrorKind::BadTopObject},
        {"offset table beyond the file", Patch(good, kTableAt, BigEndian(~std::uint64_t{0}, 8)),
         plist::ErrorKind::OffsetTableOutside},
        {"gap between offset table and trailer",
         good.substr(0, good.size() - 32) + "?" + good.substr(good.size() - 32),
         plist::ErrorKind::OffsetTableGap},
        {"references too narrow for the count", narrow.Bytes(), plist::ErrorKind::ReferencesTooSmall},
        {"unused offset beyond the table", Patch(List{{Ascii("x"), Byte(0x09)}}.Bytes(), 33, Byte(40)),
         plist::ErrorKind::ObjectOutsideObjects},
        {"wide reference beyond the count", Patch(wide, 32 + 4 + 2 + 2, BigEndian(0x0100, 2)),
         plist::ErrorKind::ReferenceOutOfRange},
        {"dictionary value holding its dictionary",
         List{{Array({1}), Dict({2}, {3}), Ascii("k"), Array({1})}}.Bytes(),
         plist::ErrorKind::ObjectContainsItself},
        {"shared chain nested past 512 where it is used again", shared.Bytes(), plist::ErrorKind::TooDeep},
        {"marker 0x70", List{{Byte(0x71) + "a"}}.Bytes(), plist::ErrorKind::UnknownMarker},
        {"NaN date", List{{Real(std::nan(""), 0x33)}}.Bytes(), plist::ErrorKind::NonFiniteDate},
        {"string runs into the table", List{{Byte(0x55) + "abc"}}.Bytes(), plist::ErrorKind::ObjectTruncated},
        {"UTF-16 lone low surrogate", List{{Byte(0x62) + std::string("\xDE\x00\x00z", 4)}}.Bytes(),
         plist::ErrorKind::UnpairedSurrogate},
        {"dictionary count of 2^60",
         List{{Byte(0xDF) + Byte(0x13) + BigEndian(std::uint64_t{1} << 60, 8)}}.Bytes(),
         plist::ErrorKind::ObjectTruncated},
        {"negative count", List{{Byte(0x4F) + Byte(0x13) + BigEndian(~std::uint64_t{0}, 8)}}.Bytes(),
         plist::ErrorKind::BadCount},
        {"dictionary key that is an array", List{{Dict({1}, {2}), Array({}), Ascii("v")}}.Bytes(),
         plist::ErrorKind::ContainerKey},
        {"UID of 2^32", List{{Uid(std::uint64_t{1} << 32)}}.Bytes(), plist::ErrorKind::UIDOutOfRange},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseBinary(c.bytes);
        EXPECT_EQ(r.root, nullptr) << c.name << " read as " << Dump(r.root);
        EXPECT_EQ(r.error.kind, c.kind) << c.name << ": " << plist::Describe(r.error.kind);
        EXPECT_LE(r.error.offset, c.bytes.size()) << c.name;
    }
}

TEST(BinaryReader, BuildsSharedObjectsOnce)
{
    List l;
    l.refSize = l.offsetSize = 2;
    l.objects.push_back(Marker(0xA0, 2000) + Refs(std::vector<std::uint64_t>(2000, 1), 2));
    l.objects.push_back(Ascii("shared"));
    plist::ParseResult r = plist::ParseBinary(l.Bytes());
    ASSERT_NE(r.root, nullptr) << plist::Describe(r.error.kind);
    const auto& items = static_cast<const CFArrayZorp&>(*r.root).Items();
    ASSERT_EQ(items.size(), 2000u);
    for (const auto& item : items) EXPECT_EQ(item.get(), items[0].get());
}

TEST(BinaryReader, RefusesSharingThatExpandsFarBeyondTheFile)
{
    struct Case {
        const char* name;
        int levels;         // arrays, each holding the next one twice
        std::size_t bytes;  // the payload at the bottom
        bool accepted;
    };
    const Case cases[] = {
        {"10 doublings of a small string", 10, 10, true},
        {"60 doublings", 60, 1, false},
        {"a 64 KiB string used 1024 times", 10, 65536, false},
    };
    for (const auto& c : cases) {
        List l;
        l.offsetSize = 4;
        for (int i = 0; i < c.levels; ++i)
            l.objects.push_back(Array({std::uint64_t(i + 1), std::uint64_t(i + 1)}));
        l.objects.push_back(Marker(0x40, c.bytes) + std::string(c.bytes, 'x'));
        plist::ParseResult r = plist::ParseBinary(l.Bytes());
        EXPECT_EQ(r.root != nullptr, c.accepted) << c.name << ": " << plist::Describe(r.error.kind);
    }
}

}  // namespace
