// SPDX-License-Identifier: MIT
// What the three readers accept and refuse beyond the cases CoreFoundation answered in cf-golden
// (plist_golden_test): a row whose input CF answered there belongs there, not here.
#include "platform/plist/readers.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

namespace {

using namespace std::string_literals;
using plist_dump::Dump;

constexpr const char* kRefused = "(refused)";

// The root as CF's XML body (without the frame), or kRefused.
std::string Read(const std::string& bytes)
{
    const plist::ParseResult result = plist::ParseXML(bytes);
    if (!result.root) {
        EXPECT_NE(result.error.kind, plist::ErrorKind::None);
        EXPECT_LE(result.error.offset, bytes.size());
        return kRefused;
    }
    const std::optional<std::string> xml = plist::WriteXML(*result.root);
    if (!xml) return "(not writable)";
    const std::size_t start = xml->find("<plist version=\"1.0\">\n") + 22;
    return xml->substr(start, xml->size() - start - 9);
}

// A document with the usual frame around `body`.
std::string Doc(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
           "1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

struct Case {
    const char* what;
    std::string input, expected;  // expected: the body CF writes back, or kRefused
};

void Check(const std::vector<Case>& cases)
{
    for (const Case& c : cases) EXPECT_EQ(Read(c.input), c.expected) << c.what;
}

std::string UTF16LE(const std::string& ascii)
{
    std::string out;
    for (char c : ascii) out += c + "\0"s;
    return out;
}

TEST(XmlReader, ReadsTextInTheEncodingsCoreFoundationReads)
{
    const std::string cafe = "<string>caf\xC3\xA9</string>\n";
    std::string utf32be = "\0\0\xFE\xFF"s;
    for (char c : std::string("<string>ok</string>")) utf32be += "\0\0\0"s + c;
    Check({
        {"UTF-8 declared in lower case",
         "<?xml version=\"1.0\" encoding=\"utf-8\"?><string>caf\xC3\xA9</string>", cafe},
        {"UTF-16LE with a BOM", "\xFF\xFE"s + UTF16LE("<string>caf") + "\xE9\0"s + UTF16LE("</string>"),
         cafe},
        {"UTF-16 surrogate pair",
         "\xFF\xFE"s + UTF16LE("<string>") + "\x3D\xD8\x00\xDE"s + UTF16LE("</string>"),
         "<string>\xF0\x9F\x98\x80</string>\n"},
        {"UTF-16 unpaired surrogate", "\xFF\xFE"s + UTF16LE("<string>") + "\x3D\xD8"s + UTF16LE("</string>"),
         kRefused},
        {"UTF-32BE with a BOM", utf32be, "<string>ok</string>\n"},
        {"a BOM wins over the declaration",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><string>caf\xC3\xA9</string>", cafe},
        {"windows-1252 undefined byte",
         "<?xml version=\"1.0\" encoding=\"windows-1252\"?><string>\x81</string>", kRefused},
        {"spaces around = hide the encoding", "<?xml version=\"1.0\" encoding = \"foo\"?><string>x</string>",
         "<string>x</string>\n"},
        {"invalid UTF-8 in a key", Doc("<dict><key>\xFF</key><true/></dict>"), kRefused},
        {"overlong form", Doc("<string>\xC0\xAF</string>"), kRefused},
        {"invalid UTF-8 in an attribute", "<plist version=\"\xFF\"><true/></plist>", "<true/>\n"},
        {"invalid UTF-8 after the root", Doc("<true/>") + "\xFF\xFE", "<true/>\n"},
        {"a stray 0xA9 becomes U+FFFD, as in CF", Doc("<string>Copyright \xA9 2001</string>"),
         "<string>Copyright \xEF\xBF\xBD 2001</string>\n"},
        {"a 0xA9 inside a broken sequence does not", Doc("<string>\xE9\xA9<</string>"), kRefused},
        {"a split sequence joined by CDATA", Doc("<string>\xC3<![CDATA[\xA9]]></string>"),
         "<string>\xC3\xA9</string>\n"},
    });
}

TEST(XmlReader, ReadsMarkupAsCoreFoundationDoes)
{
    Check({
        {"malformed <! declaration", "<!ELEMENT x><true/>", kRefused},
        {"only white space", " \n\t", kRefused},
        {"unterminated comment", "<!-- <true/>", kRefused},
        {"NUL after the root", Doc("<true/>") + "\0"s, "<true/>\n"},
        {"empty wrapper element", "<plist/>", kRefused},
        {"nested wrapper", "<array><plist><true/></plist></array>", "<array>\n\t<true/>\n</array>\n"},
        {"huge reference", Doc("<string>&#99999999999999999999;</string>"), kRefused},
        {"reference to a surrogate", Doc("<string>&#xD800;</string>"), kRefused},
        {"entity without ;", Doc("<string>&amp</string>"), kRefused},
        {"unterminated CDATA", Doc("<string><![CDATA[abc</string>"), kRefused},
        {"comment inside text", Doc("<string>a<!-- c -->b</string>"), kRefused},
        {"space before >", Doc("<string>a</string >"), "<string>a</string>\n"},
        {"attributes ignored", "<array id=\"1\"><string lang=\"en\">a</string></array>",
         "<array>\n\t<string>a</string>\n</array>\n"},
        {"longer name starting as a known one", "<integers>1</integers>", kRefused},
        {"entity after the first eight bytes", Doc("<dict><key>abcdefghij&amp;k</key><true/></dict>"),
         "<dict>\n\t<key>abcdefghij&amp;k</key>\n\t<true/>\n</dict>\n"},
        {"UTF-8 after the first eight bytes", Doc("<string>abcdefghij\xC3\xA9</string>"),
         "<string>abcdefghij\xC3\xA9</string>\n"},
        {"bad UTF-8 after the first eight bytes", Doc("<string>abcdefghij\xC3</string>"), kRefused},
    });
}

TEST(XmlReader, ReadsValuesAsCoreFoundationDoes)
{
    Check({
        {"plus sign", "<integer>+7</integer>", "<integer>7</integer>\n"},
        {"negative hex with 0X", "<integer>-0XfF</integer>", "<integer>-255</integer>\n"},
        {"2^64-1 in hex", "<integer>0xFFFFFFFFFFFFFFFF</integer>",
         "<integer>18446744073709551615</integer>\n"},
        {"hex digits without 0x", "<integer>1F</integer>", kRefused},
        {"sign alone", "<integer>-</integer>", kRefused},
        {"empty integer", "<integer></integer>", kRefused},
        {"NUL is not white space",
         "<integer>\0"
         "1</integer>"s,
         kRefused},
        {"trailing dot", "<real>5.</real>", "<real>5</real>\n"},
        {"exponent", "<real>-2.5E-3</real>", "<real>-0.0025000000000000001</real>\n"},
        {"overflow", "<real>1e400</real>", "<real>+infinity</real>\n"},
        {"large exponent, small mantissa", "<real>0.000001e320</real>", "<real>+infinity</real>\n"},
        {"large exponent, in range", "<real>0.00001e312</real>", "<real>9.9999999999999999e+306</real>\n"},
        {"small exponent, large mantissa", "<real>100000e-330</real>", "<real>0.0</real>\n"},
        {"denormal", "<real>4.9406564584124654e-324</real>", "<real>4.9406564584124654e-324</real>\n"},
        {"words", "<array><real>NaN</real><real>inf</real><real>-inf</real></array>",
         "<array>\n\t<real>nan</real>\n\t<real>+infinity</real>\n\t<real>-infinity</real>\n</array>\n"},
        {"dangling exponent", "<real>1e</real>", kRefused},
        {"dot alone", "<real>.</real>", kRefused},
        {"year 1", "<date>1-01-01T00:00:00Z</date>", "<date>0001-01-01T00:00:00Z</date>\n"},
        {"negative year", "<date>-2-12-31T00:00:00Z</date>", "<date>-002-12-31T00:00:00Z</date>\n"},
        {"month beyond CF's table", "<date>2001-16-01T00:00:00Z</date>", kRefused},
        {"self-closed date", "<date/>", kRefused},
        {"comment in data", "<data>AQ<!-- -->ID</data>", kRefused},
        {"a key as a value", "<dict><key>a</key><key>b</key></dict>",
         "<dict>\n\t<key>a</key>\n\t<string>b</string>\n</dict>\n"},
        {"CF$UID real is truncated", "<dict><key>CF$UID</key><real>2.7</real></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<integer>2</integer>\n</dict>\n"},
        {"CF$UID -1 is 2^32-1", "<dict><key>CF$UID</key><integer>-1</integer></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<integer>4294967295</integer>\n</dict>\n"},
    });
    const plist::ParseResult uid = plist::ParseXML("<dict><key>CF$UID</key><real>2.7</real></dict>");
    ASSERT_NE(uid.root, nullptr);
    EXPECT_EQ(uid.root->Kind(), CFKind::UID);
}

// Long runs of references and CDATA sections in one string, far from the next tag.
TEST(XmlReader, ExpandsLongRunsOfReferences)
{
    std::string text, expected;
    for (int i = 0; i < 100000; ++i) {
        text += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "&#x41;" : "<![CDATA[<]]>";
        expected += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "A" : "&lt;";
    }
    EXPECT_EQ(Read("<string>" + text + "</string>"), "<string>" + expected + "</string>\n");
}

std::string Nested(int depth, const std::string& open, const std::string& close)
{
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += "<string>core</string>";
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

TEST(XmlReader, LimitsNestingTo512Containers)
{
    const struct {
        const char* what;
        std::string input;
        bool accepted;
    } cases[] = {
        {"512 dictionaries and arrays", Nested(256, "<dict><key>k</key><array>", "</array></dict>"), true},
        {"an empty array as the 513th", Nested(512, "<array>", "</array>").replace(512 * 7, 21, "<array/>"),
         false},
        {"100000 arrays", Nested(100000, "<array>", "</array>"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plist::ParseXML(c.input).root != nullptr, c.accepted) << c.what;
    }
}

// Failure means no root at all: every proper prefix of a valid list is refused, without a crash.
TEST(XmlReader, RefusesEveryTruncation)
{
    const std::string full = Doc(
        "<dict><key>a&amp;b</key><array><string>x<![CDATA[y]]></string><integer>-12</integer><real>1.5</real>"
        "<date>2001-01-01T00:00:00Z</date><data>AQID</data><true/><false/><dict/></array></dict>");
    ASSERT_NE(plist::ParseXML(full).root, nullptr);
    const std::size_t end = full.rfind("</plist>");
    for (std::size_t n = 0; n < end; ++n) {
        EXPECT_EQ(plist::ParseXML(full.substr(0, n)).root, nullptr) << n;
    }
}

TEST(XmlReader, ReportsWhereReadingFailed)
{
    const struct {
        std::string input;
        plist::ErrorKind kind;
        std::size_t offset;
    } cases[] = {
        {"<plist><foo/></plist>", plist::ErrorKind::UnknownTag, 8},
        {"junk", plist::ErrorKind::UnexpectedText, 0},
        {"<array><integer>1x</integer></array>", plist::ErrorKind::BadInteger, 17},
        {"<dict><string>a</string></dict>", plist::ErrorKind::KeyExpected, 14},
        {"<?xml version=\"1.0\" encoding=\"koi8-r\"?><dict/>", plist::ErrorKind::UnknownEncoding, 30},
        {"\xFF\xFE"s + UTF16LE("<plist><foo/></plist>"), plist::ErrorKind::UnknownTag, 2 + 2 * 8},
    };
    for (const auto& c : cases) {
        const plist::ParseResult result = plist::ParseXML(c.input);
        EXPECT_EQ(result.root, nullptr);
        EXPECT_EQ(result.error.kind, c.kind) << c.input;
        EXPECT_EQ(result.error.offset, c.offset) << plist::Describe(result.error.kind);
    }
}

// The binary form.

// Encoders for binary-list objects; references are written one byte wide unless told otherwise.
std::string BigEndian(std::uint64_t v, unsigned size)
{
    std::string out(size, '\0');
    for (unsigned i = 0; i < size && i < 8; ++i) out[size - 1 - i] = static_cast<char>(v >> (8 * i));
    return out;
}

const auto Byte = [](unsigned b) { return std::string(1, static_cast<char>(b)); };
const auto Marker = [](unsigned type, std::uint64_t count) {
    return count < 15 ? Byte(type | unsigned(count)) : Byte(type | 0x0F) + Byte(0x13) + BigEndian(count, 8);
};
const auto Real = [](double v, unsigned marker) {
    return Byte(marker) + BigEndian(std::bit_cast<std::uint64_t>(v), 8);
};
const auto Ascii = [](const std::string& s) { return Marker(0x50, s.size()) + s; };
const auto Uid = [](std::uint64_t v) { return Byte(0x87) + BigEndian(v, 8); };

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
const auto Dict = [](const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& values) {
    return Marker(0xD0, keys.size()) + Refs(keys, 1) + Refs(values, 1);
};

// A whole list: header, objects, offset table and trailer, with every field open to a test's change.
struct List {
    std::vector<std::string> objects;
    std::uint64_t top = 0;
    unsigned offsetSize = 1, refSize = 1;

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
        {"negative zero real", List{{Real(-0.0, 0x23)}}.Bytes(), "r-0"},
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

// The old text form.

TEST(OpenStepReader, ReadsTheOldTextFormat)
{
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"bare word with every allowed punctuation", "a_$/:.-9Z", "\"a_$/:.-9Z\""},
        {"C escapes", "\"\\t\\n\\r\\\"\\\\\\a\\b\\f\\v\"",
         "\"\\x09\\x0a\\x0d\\x22\\x5c\\x07\\x08\\x0c\\x0b\""},
        {"octal escape takes three digits at most", "\"\\1011\"", "\"A1\""},
        {"octal escape above 127 is a NeXTSTEP character", "\"\\351\\200\"", "\"\\xc3\\x98\\xc2\\xa0\""},
        {"hex escape with fewer than four digits", "\"\\U41\"", "\"A\""},
        {"hex escapes of a surrogate pair", "\"\\UD83D\\UDE00\"", "\"\\xf0\\x9f\\x98\\x80\""},
        {"data reads only the low byte of a character", "<\xC4\xB0\xC4\xB1>", "<01>"},
        {"unclosed block comment after the root", "hello /* open", "\"hello\""},
        {"Unicode line separator is white space", "\xE2\x80\xA8(a)\xE2\x80\xA9", "[\"a\"]"},
        {"key alone maps to itself", "{ a; b = c; }", "{\"a\"=\"a\";\"b\"=\"c\";}"},
        {"repeated key takes the later value", "{ a = 1; a = 2; }", "{\"a\"=\"2\";}"},
        {"UTF-16LE with byte-order mark", "\xFF\xFE(\0a\0,\0\"\0\xE9\0\"\0)\0"s, "[\"a\",\"\\xc3\\xa9\"]"},
        {"UTF-32LE with byte-order mark", "\xFF\xFE\0\0x\0\0\0"s, "\"x\""},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseOpenStep(c.text);
        EXPECT_EQ(Dump(r.root), c.expected)
            << c.name << ": " << plist::Describe(r.error.kind) << " at " << r.error.offset;
        EXPECT_EQ(r.format, plist::Format::OpenStep) << c.name;
    }
}

TEST(OpenStepReader, RefusesMalformedText)
{
    struct Case {
        const char* name;
        std::string text;
        plist::ErrorKind kind;
        std::size_t offset;
    };
    const Case cases[] = {
        {"empty input", "", plist::ErrorKind::Empty, 0},
        {"two bare words", "hello world", plist::ErrorKind::ExpectedEqualsOrSemicolon, 6},
        {"entry without its semicolon", "{ a = b }", plist::ErrorKind::MissingSemicolon, 8},
        {"unterminated quoted string", "{ a = \"open; }", plist::ErrorKind::Unterminated, 6},
        {"odd number of hex digits", "<0fb>", plist::ErrorKind::BadData, 4},
        {"array as a key", "{ (a) = b; }", plist::ErrorKind::Unterminated, 0},
        {"text after the root", "( a ) junk", plist::ErrorKind::TrailingText, 6},
        {"strings file without the last semicolon", "a = b; c = d", plist::ErrorKind::MissingSemicolon, 12},
        {"error inside an array that CoreFoundation forgets", "( { a = ) )",
         plist::ErrorKind::UnexpectedCharacter, 8},
        {"invalid UTF-8", "\"\xFF\"", plist::ErrorKind::BadEncoding, 1},
        {"lone surrogate from an escape", "(a, \"\\UD800\")", plist::ErrorKind::UnpairedSurrogate, 4},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseOpenStep(c.text);
        EXPECT_EQ(r.root, nullptr) << c.name << " read as " << Dump(r.root);
        EXPECT_EQ(r.error.kind, c.kind) << c.name << ": " << plist::Describe(r.error.kind);
        EXPECT_EQ(r.error.offset, c.offset) << c.name << ": " << plist::Describe(r.error.kind);
    }
}

TEST(OpenStepReader, LimitsNestingTo512Containers)
{
    struct Case {
        const char* name;
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {"513 arrays", std::string(513, '(') + std::string(513, ')'), false},
        {"deep strings file", "a = " + std::string(511, '(') + std::string(511, ')') + ";", true},
        {"too deep strings file", "a = " + std::string(512, '(') + std::string(512, ')') + ";", false},
        {"100000 open parentheses", std::string(100000, '('), false},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseOpenStep(c.text);
        EXPECT_EQ(r.root != nullptr, c.accepted) << c.name << ": " << plist::Describe(r.error.kind);
    }
}

}  // namespace
