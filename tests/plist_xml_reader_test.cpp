// SPDX-License-Identifier: MIT
// What the XML reader accepts and refuses, beyond the cases CoreFoundation answered in cf-golden.
#include "platform/plist/readers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

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
    std::string input;
    std::string expected;  // the body CF writes back, or kRefused
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
        {"DOCTYPE with an empty internal subset", "<!DOCTYPE plist []><true/>", kRefused},
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
        {"upper-case tag", "<TRUE/>", kRefused},
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
        {"real with trailing space", "<real>1.5 </real>", kRefused},
        {"dangling exponent", "<real>1e</real>", kRefused},
        {"dot alone", "<real>.</real>", kRefused},
        {"year 1", "<date>1-01-01T00:00:00Z</date>", "<date>0001-01-01T00:00:00Z</date>\n"},
        {"negative year", "<date>-2-12-31T00:00:00Z</date>", "<date>-002-12-31T00:00:00Z</date>\n"},
        {"February 30", "<date>2001-02-30T00:00:00Z</date>", "<date>2001-03-02T00:00:00Z</date>\n"},
        {"month beyond CF's table", "<date>2001-16-01T00:00:00Z</date>", kRefused},
        {"self-closed date", "<date/>", kRefused},
        {"incomplete group dropped", "<data>AQI</data>", "<data>\n</data>\n"},
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
        {"512 arrays", Doc(Nested(512, "<array>", "</array>")), true},
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

}  // namespace
