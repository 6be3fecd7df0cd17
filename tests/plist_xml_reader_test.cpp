// What the XML reader accepts and refuses, class by class, as CoreFoundation does.
#include "plist/readers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using namespace std::string_literals;

constexpr const char* kRefused = "(refused)";

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string kDoctype =
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

// The root as CF's XML body (without the frame), or kRefused.
std::string Read(const std::string& bytes) {
    const plist::ParseResult result = plist::ParseXML(bytes);
    if (!result.root) {
        EXPECT_FALSE(result.error.reason.empty());
        EXPECT_LE(result.error.offset, bytes.size());
        return kRefused;
    }
    const std::optional<std::string> xml = plist::WriteXML(*result.root);
    if (!xml) return "(not writable)";
    const std::size_t start = xml->find("<plist version=\"1.0\">\n") + 22;
    return xml->substr(start, xml->size() - start - 9);
}

// A document with the usual frame around `body`.
std::string Doc(const std::string& body) { return kDecl + kDoctype + "<plist version=\"1.0\">\n" + body + "\n</plist>\n"; }

struct Case {
    const char* what;
    std::string input;
    std::string expected;  // the body CF writes back, or kRefused
};

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(Read(c.input), c.expected) << c.what;
}

std::string UTF16(const std::string& ascii, bool bigEndian) {
    std::string out;
    for (char c : ascii) out += bigEndian ? "\0"s + c : c + "\0"s;
    return out;
}

std::string UTF32LE(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += c + "\0\0\0"s;
    return out;
}

TEST(XmlReader, ReadsTheEncodingsCoreFoundationReads) {
    const std::string plain = "<plist><string>caf\xC3\xA9</string></plist>";
    const std::string cafe = "<string>caf\xC3\xA9</string>\n";
    std::string utf16le = "\xFF\xFE"s + UTF16("<plist><string>caf", false) + "\xE9\0"s + UTF16("</string></plist>", false);
    std::string utf16be = "\xFE\xFF"s + UTF16("<plist><string>caf", true) + "\0\xE9"s + UTF16("</string></plist>", true);
    std::string astral16 = "\xFF\xFE"s + UTF16("<string>", false) + "\x3D\xD8\x00\xDE"s + UTF16("</string>", false);
    std::string lone16 = "\xFF\xFE"s + UTF16("<string>", false) + "\x3D\xD8"s + UTF16("</string>", false);
    std::string utf32le = "\xFF\xFE\0\0"s + UTF32LE("<string>caf") + "\xE9\0\0\0"s + UTF32LE("</string>");
    std::string utf32be = "\0\0\xFE\xFF"s;
    for (char c : std::string("<string>ok</string>")) utf32be += "\0\0\0"s + c;
    Check({
        {"UTF-8 without a declaration", plain, cafe},
        {"UTF-8 with a BOM", "\xEF\xBB\xBF" + plain, cafe},
        {"UTF-8 declared in lower case", "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + plain, cafe},
        {"UTF-16LE with a BOM", utf16le, cafe},
        {"UTF-16BE with a BOM", utf16be, cafe},
        {"UTF-16 surrogate pair", astral16, "<string>\xF0\x9F\x98\x80</string>\n"},
        {"UTF-16 unpaired surrogate", lone16, kRefused},
        {"UTF-16LE without a BOM loses its first character", UTF16("<plist><string>a</string></plist>", false), kRefused},
        {"UTF-32LE with a BOM", utf32le, cafe},
        {"UTF-32BE with a BOM", utf32be, "<string>ok</string>\n"},
        {"a BOM wins over the declaration",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><string>caf\xC3\xA9</string>", cafe},
        {"ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><string>caf\xE9</string>", cafe},
        {"single-quoted encoding", "<?xml version='1.0' encoding='iso-8859-1'?><string>caf\xE9</string>", cafe},
        {"US-ASCII reads high bytes as Latin-1", "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><string>caf\xE9</string>", cafe},
        {"windows-1252", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><string>\x80 \x93q\x94</string>",
         "<string>\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D</string>\n"},
        {"windows-1252 undefined byte", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><string>\x81</string>", kRefused},
        {"unknown encoding", "<?xml version=\"1.0\" encoding=\"foo-bar\"?><string>x</string>", kRefused},
        {"Mac OS Roman is unknown to CF's reader", "<?xml version=\"1.0\" encoding=\"macintosh\"?><string>x</string>",
         kRefused},
        {"spaces around = hide the encoding", "<?xml version=\"1.0\" encoding = \"foo\"?><string>x</string>",
         "<string>x</string>\n"},
    });
}

TEST(XmlReader, TakesUTF8OnlyInsideText) {
    Check({
        {"invalid UTF-8 in a string", Doc("<string>a\xC3(b</string>"), kRefused},
        {"invalid UTF-8 in a key", Doc("<dict><key>\xFF</key><true/></dict>"), kRefused},
        {"encoded surrogate", Doc("<string>\xED\xA0\x80</string>"), kRefused},
        {"above U+10FFFF", Doc("<string>\xF4\x90\x80\x80</string>"), kRefused},
        {"overlong form", Doc("<string>\xC0\xAF</string>"), kRefused},
        {"truncated sequence", Doc("<string>\xE2\x82</string>"), kRefused},
        {"invalid UTF-8 in a comment", Doc("<!-- \xFF --><string>x</string>"), "<string>x</string>\n"},
        {"invalid UTF-8 in an attribute", "<plist version=\"\xFF\"><true/></plist>", "<true/>\n"},
        {"invalid UTF-8 after the root", Doc("<true/>") + "\xFF\xFE", "<true/>\n"},
        {"a stray 0xA9 becomes U+FFFD, as in CF", Doc("<string>Copyright \xA9 2001</string>"),
         "<string>Copyright \xEF\xBF\xBD 2001</string>\n"},
        {"a 0xA9 inside a broken sequence does not", Doc("<string>\xE9\xA9<</string>"), kRefused},
        {"a split sequence joined by CDATA", Doc("<string>\xC3<![CDATA[\xA9]]></string>"), "<string>\xC3\xA9</string>\n"},
    });
}

TEST(XmlReader, SkipsPrologAndIgnoresWhatFollowsTheRoot) {
    Check({
        {"no declaration", "<plist><true/></plist>", "<true/>\n"},
        {"comment before the declaration", "<!-- c --><?xml version=\"1.0\"?><true/>", "<true/>\n"},
        {"processing instruction", "<?other stuff?>\n<true/>", "<true/>\n"},
        {"DOCTYPE of another document", "<!DOCTYPE html SYSTEM \"x.dtd\"><true/>", "<true/>\n"},
        {"DOCTYPE with an internal subset", "<!DOCTYPE plist [ <!ENTITY foo \"bar\"> ]><string>&foo;</string>", kRefused},
        {"DOCTYPE with an empty internal subset", "<!DOCTYPE plist []><true/>", kRefused},
        {"malformed <! declaration", "<!ELEMENT x><true/>", kRefused},
        {"text before the root", "junk<plist><true/></plist>", kRefused},
        {"only a declaration", kDecl, kRefused},
        {"only white space", " \n\t", kRefused},
        {"unterminated comment", "<!-- <true/>", kRefused},
        {"text after the root", Doc("<true/>") + "trailing junk", "<true/>\n"},
        {"an element after the root", Doc("<true/>") + "<false/>", "<true/>\n"},
        {"an unclosed tag after the root", Doc("<true/>") + "<dict>", "<true/>\n"},
        {"NUL after the root", Doc("<true/>") + "\0"s, "<true/>\n"},
        {"two bare roots", "<string>a</string><string>b</string>", "<string>a</string>\n"},
    });
}

TEST(XmlReader, TakesThePlistWrapperAsOptional) {
    Check({
        {"bare value", "<integer>5</integer>", "<integer>5</integer>\n"},
        {"wrapper without attributes", "<plist><false/></plist>", "<false/>\n"},
        {"comments around the value", "<plist><!-- a --><true/><!-- b --></plist>", "<true/>\n"},
        {"declaration inside", "<plist><?xml version=\"1.0\"?><true/></plist>", "<true/>\n"},
        {"empty element", "<plist/>", kRefused},
        {"no value", "<plist></plist>", kRefused},
        {"two values", "<plist><true/><false/></plist>", kRefused},
        {"text after the value", "<plist><true/>junk</plist>", kRefused},
        {"unclosed", "<plist><true/>", kRefused},
        {"nested wrapper", "<array><plist><true/></plist></array>", "<array>\n\t<true/>\n</array>\n"},
    });
}

TEST(XmlReader, ExpandsTextAsCoreFoundationDoes) {
    Check({
        {"predefined entities", Doc("<string>&amp;&lt;&gt;&apos;&quot;</string>"), "<string>&amp;&lt;&gt;'\"</string>\n"},
        {"decimal references", Doc("<string>&#169;&#65;</string>"), "<string>\xC2\xA9" "A</string>\n"},
        {"hex reference above the BMP", Doc("<string>&#x1F600;</string>"), "<string>\xF0\x9F\x98\x80</string>\n"},
        {"empty reference is NUL", Doc("<string>a&#;b</string>"), "<string>a\0b</string>\n"s},
        {"&#0; is NUL", Doc("<string>&#0;</string>"), "<string>\0</string>\n"s},
        {"upper-case X", Doc("<string>&#X41;</string>"), kRefused},
        {"reference above U+10FFFF", Doc("<string>&#x110000;</string>"), kRefused},
        {"huge reference", Doc("<string>&#99999999999999999999;</string>"), kRefused},
        {"reference to a surrogate", Doc("<string>&#xD800;</string>"), kRefused},
        {"unknown entity", Doc("<string>&foo;</string>"), kRefused},
        {"upper-case entity", Doc("<string>&AMP;</string>"), kRefused},
        {"entity without ;", Doc("<string>&amp</string>"), kRefused},
        {"CDATA", Doc("<string><![CDATA[<&>]]></string>"), "<string>&lt;&amp;&gt;</string>\n"},
        {"text, CDATA and entity", Doc("<string>a<![CDATA[b]]>&amp;c</string>"), "<string>ab&amp;c</string>\n"},
        {"unterminated CDATA", Doc("<string><![CDATA[abc</string>"), kRefused},
        {"comment inside text", Doc("<string>a<!-- c -->b</string>"), kRefused},
        {"processing instruction inside text", Doc("<string>a<?pi?>b</string>"), kRefused},
        {"element inside text", Doc("<string>a<b/>c</string>"), kRefused},
        {"bare <", Doc("<string>a < b</string>"), kRefused},
        {"CR and CRLF kept", "<string>a\rb\r\nc</string>", "<string>a\rb\r\nc</string>\n"},
        {"white space kept", Doc("<string> \t </string>"), "<string> \t </string>\n"},
        {"self-closed string", Doc("<string/>"), "<string></string>\n"},
        {"key outside a dictionary", Doc("<array><key>k</key></array>"), "<array>\n\t<string>k</string>\n</array>\n"},
        {"key as the root", "<key>k</key>", "<string>k</string>\n"},
        {"mismatched close", Doc("<string>a</strin>"), kRefused},
        {"crossed close", Doc("<string>a</key>"), kRefused},
        {"space before >", Doc("<string>a</string >"), "<string>a</string>\n"},
    });
}

// Long runs of references and CDATA sections in one string, far from the next tag.
TEST(XmlReader, ExpandsLongRunsOfReferences) {
    std::string text, expected;
    for (int i = 0; i < 100000; ++i) {
        text += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "&#x41;" : "<![CDATA[<]]>";
        expected += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "A" : "&lt;";
    }
    EXPECT_EQ(Read("<string>" + text + "</string>"), "<string>" + expected + "</string>\n");
}

TEST(XmlReader, ReadsBooleansAndRefusesUnknownTags) {
    Check({
        {"short forms", "<array><true/><false/><true /></array>", "<array>\n\t<true/>\n\t<false/>\n\t<true/>\n</array>\n"},
        {"long forms", "<array><true></true><false></false></array>", "<array>\n\t<true/>\n\t<false/>\n</array>\n"},
        {"content", "<true>x</true>", kRefused},
        {"white space content", "<true> </true>", kRefused},
        {"unknown tag", "<foo/>", kRefused},
        {"null tag", "<array><null/></array>", kRefused},
        {"upper-case tag", "<TRUE/>", kRefused},
        {"malformed tag", "< true/>", kRefused},
        {"attributes ignored", "<array id=\"1\"><string lang=\"en\">a</string></array>", "<array>\n\t<string>a</string>\n</array>\n"},
        {"stray text in an array", Doc("<array>junk</array>"), kRefused},
        {"stray text in a dictionary", Doc("<dict>junk</dict>"), kRefused},
        {"self-closed containers", "<array><array/><dict/></array>", "<array>\n\t<array/>\n\t<dict/>\n</array>\n"},
    });
}

TEST(XmlReader, ReadsIntegersInCoreFoundationsRange) {
    Check({
        {"plain", "<integer>42</integer>", "<integer>42</integer>\n"},
        {"negative", "<integer>-7</integer>", "<integer>-7</integer>\n"},
        {"plus sign", "<integer>+7</integer>", "<integer>7</integer>\n"},
        {"leading zeros", "<integer>00012</integer>", "<integer>12</integer>\n"},
        {"zero", "<integer>0</integer>", "<integer>0</integer>\n"},
        {"minus zero", "<integer>-0</integer>", "<integer>0</integer>\n"},
        {"hex", "<integer>0x1F</integer>", "<integer>31</integer>\n"},
        {"hex upper case", "<integer>0XfF</integer>", "<integer>255</integer>\n"},
        {"negative hex", "<integer>-0x10</integer>", "<integer>-16</integer>\n"},
        {"hex zero", "<integer>0x0</integer>", "<integer>0</integer>\n"},
        {"INT64_MIN", "<integer>-9223372036854775808</integer>", "<integer>-9223372036854775808</integer>\n"},
        {"2^64-1", "<integer>18446744073709551615</integer>", "<integer>18446744073709551615</integer>\n"},
        {"2^64-1 in hex", "<integer>0xFFFFFFFFFFFFFFFF</integer>", "<integer>18446744073709551615</integer>\n"},
        {"leading white space", "<integer>\n\t 42</integer>", "<integer>42</integer>\n"},
        {"leading control byte", "<integer>\x01" "42</integer>", "<integer>42</integer>\n"},
        {"space after the sign", "<integer>- 5</integer>", "<integer>-5</integer>\n"},
        {"2^64", "<integer>18446744073709551616</integer>", kRefused},
        {"below -2^63", "<integer>-9223372036854775809</integer>", kRefused},
        {"huge hex", "<integer>0x10000000000000000</integer>", kRefused},
        {"trailing space", "<integer>42 </integer>", kRefused},
        {"inner space", "<integer>4 2</integer>", kRefused},
        {"fraction", "<integer>1.5</integer>", kRefused},
        {"entity", "<integer>&#52;</integer>", kRefused},
        {"bare 0x", "<integer>0x</integer>", kRefused},
        {"hex digits without 0x", "<integer>1F</integer>", kRefused},
        {"sign alone", "<integer>-</integer>", kRefused},
        {"empty", "<integer></integer>", kRefused},
        {"self-closed", "<integer/>", kRefused},
        {"NUL is not white space", "<integer>\0" "1</integer>"s, kRefused},
    });
}

TEST(XmlReader, ReadsRealsWithCoreFoundationsScanner) {
    Check({
        {"decimal", "<real>1.5</real>", "<real>1.5</real>\n"},
        {"integer form", "<real>42</real>", "<real>42</real>\n"},
        {"leading dot", "<real>.5</real>", "<real>0.5</real>\n"},
        {"trailing dot", "<real>5.</real>", "<real>5</real>\n"},
        {"plus", "<real>+1.5</real>", "<real>1.5</real>\n"},
        {"exponent", "<real>-2.5E-3</real>", "<real>-0.0025000000000000001</real>\n"},
        {"minus zero", "<real>-0</real>", "<real>0.0</real>\n"},
        {"overflow", "<real>1e400</real>", "<real>+infinity</real>\n"},
        {"negative overflow", "<real>-1e400</real>", "<real>-infinity</real>\n"},
        {"underflow", "<real>1e-400</real>", "<real>0.0</real>\n"},
        {"large exponent, small mantissa", "<real>0.000001e320</real>", "<real>+infinity</real>\n"},
        {"large exponent, in range", "<real>0.00001e312</real>", "<real>9.9999999999999999e+306</real>\n"},
        {"small exponent, large mantissa", "<real>100000e-330</real>", "<real>0.0</real>\n"},
        {"denormal", "<real>4.9406564584124654e-324</real>", "<real>4.9406564584124654e-324</real>\n"},
        {"words", "<array><real>nan</real><real>NaN</real><real>inf</real><real>Infinity</real>"
                  "<real>+INFINITY</real><real>-infinity</real><real>-inf</real></array>",
         "<array>\n\t<real>nan</real>\n\t<real>nan</real>\n\t<real>+infinity</real>\n\t<real>+infinity</real>\n"
         "\t<real>+infinity</real>\n\t<real>-infinity</real>\n\t<real>-infinity</real>\n</array>\n"},
        {"entity expanded first", "<real>&#49;.5</real>", "<real>1.5</real>\n"},
        {"leading newline", "<real>\n1.5</real>", "<real>1.5</real>\n"},
        {"trailing space", "<real>1.5 </real>", kRefused},
        {"spaces around", "<real> 1.5 </real>", kRefused},
        {"space before a word", "<real> inf</real>", kRefused},
        {"-nan", "<real>-nan</real>", kRefused},
        {"nan payload", "<real>nan(123)</real>", kRefused},
        {"hex float", "<real>0x1p3</real>", kRefused},
        {"comma", "<real>1,5</real>", kRefused},
        {"empty", "<real></real>", kRefused},
        {"dangling exponent", "<real>1e</real>", kRefused},
        {"two signs", "<real>+-1</real>", kRefused},
        {"dot alone", "<real>.</real>", kRefused},
    });
}

TEST(XmlReader, ReadsDatesAndRollsFieldsOver) {
    Check({
        {"plain", "<date>2001-01-01T00:00:00Z</date>", "<date>2001-01-01T00:00:00Z</date>\n"},
        {"leap day", "<date>2000-02-29T00:00:00Z</date>", "<date>2000-02-29T00:00:00Z</date>\n"},
        {"1900", "<date>1900-01-01T00:00:00Z</date>", "<date>1900-01-01T00:00:00Z</date>\n"},
        {"five-digit year", "<date>10000-01-01T00:00:00Z</date>", "<date>10000-01-01T00:00:00Z</date>\n"},
        {"year 1", "<date>1-01-01T00:00:00Z</date>", "<date>0001-01-01T00:00:00Z</date>\n"},
        {"negative year", "<date>-2-12-31T00:00:00Z</date>", "<date>-002-12-31T00:00:00Z</date>\n"},
        {"month 13", "<date>2001-13-01T00:00:00Z</date>", "<date>2002-01-01T00:00:00Z</date>\n"},
        {"month 00", "<date>2001-00-10T00:00:00Z</date>", "<date>2001-01-10T00:00:00Z</date>\n"},
        {"February 30", "<date>2001-02-30T00:00:00Z</date>", "<date>2001-03-02T00:00:00Z</date>\n"},
        {"day 00", "<date>2001-01-00T00:00:00Z</date>", "<date>2000-12-31T00:00:00Z</date>\n"},
        {"hour 24", "<date>2001-01-01T24:00:00Z</date>", "<date>2001-01-02T00:00:00Z</date>\n"},
        {"minute 60", "<date>2001-01-01T00:60:00Z</date>", "<date>2001-01-01T01:00:00Z</date>\n"},
        {"second 99", "<date>2001-01-01T00:00:99Z</date>", "<date>2001-01-01T00:01:39Z</date>\n"},
        {"month beyond CF's table", "<date>2001-16-01T00:00:00Z</date>", kRefused},
        {"fraction", "<date>2001-01-01T00:00:00.5Z</date>", kRefused},
        {"no Z", "<date>2001-01-01T00:00:00</date>", kRefused},
        {"plus year", "<date>+2001-01-01T00:00:00Z</date>", kRefused},
        {"one-digit month", "<date>2001-1-01T00:00:00Z</date>", kRefused},
        {"spaces", "<date> 2001-01-01T00:00:00Z </date>", kRefused},
        {"trailing junk", "<date>2001-01-01T00:00:00Zjunk</date>", kRefused},
        {"hour only", "<date>2001-01-01T10Z</date>", kRefused},
        {"year and month", "<date>2001-02</date>", kRefused},
        {"self-closed", "<date/>", kRefused},
    });
}

TEST(XmlReader, DecodesBase64AsCoreFoundationDoes) {
    Check({
        {"plain", "<data>AQID</data>", "<data>\nAQID\n</data>\n"},
        {"white space", "<data>\n\tAQ\n\tID \r\n</data>", "<data>\nAQID\n</data>\n"},
        {"spaces inside", "<data>A Q I D</data>", "<data>\nAQID\n</data>\n"},
        {"padding", "<data>AQ==</data>", "<data>\nAQ==\n</data>\n"},
        {"extra padding is a zero byte", "<data>AQID====</data>", "<data>\nAQIDAA==\n</data>\n"},
        {"padding in the middle", "<data>AQ==AQ==</data>", "<data>\nAQE=\n</data>\n"},
        {"incomplete group dropped", "<data>AQI</data>", "<data>\n</data>\n"},
        {"one character", "<data>A</data>", "<data>\n</data>\n"},
        {"URL-safe characters skipped", "<data>-_-_</data>", "<data>\n</data>\n"},
        {"empty", "<data></data>", "<data>\n</data>\n"},
        {"byte above 0x7F", "<data>AQID\xC3\xA9</data>", kRefused},
        {"CDATA", "<data><![CDATA[AQID]]></data>", kRefused},
        {"comment", "<data>AQ<!-- -->ID</data>", kRefused},
        {"self-closed", "<data/>", kRefused},
    });
}

TEST(XmlReader, BuildsDictionariesByCoreFoundationsRules) {
    Check({
        {"pairs", "<dict><key>b</key><integer>2</integer><key>a</key><integer>1</integer></dict>",
         "<dict>\n\t<key>a</key>\n\t<integer>1</integer>\n\t<key>b</key>\n\t<integer>2</integer>\n</dict>\n"},
        {"repeated key: the later value wins", "<dict><key>k</key><integer>1</integer><key>k</key><integer>2</integer>"
                                               "<key>k</key><integer>3</integer></dict>",
         "<dict>\n\t<key>k</key>\n\t<integer>3</integer>\n</dict>\n"},
        {"empty key", "<dict><key></key><true/><key/><false/></dict>", "<dict>\n\t<key></key>\n\t<false/>\n</dict>\n"},
        {"key with white space", "<dict><key> k </key><true/></dict>", "<dict>\n\t<key> k </key>\n\t<true/>\n</dict>\n"},
        {"a key as a value", "<dict><key>a</key><key>b</key></dict>", "<dict>\n\t<key>a</key>\n\t<string>b</string>\n</dict>\n"},
        {"key without value", "<dict><key>a</key></dict>", kRefused},
        {"value without key", "<dict><string>a</string></dict>", kRefused},
        {"two keys then a value", "<dict><key>a</key><key>b</key><string>c</string></dict>", kRefused},
        {"integer as key", "<dict><integer>1</integer><string>a</string></dict>", kRefused},
        {"CF$UID integer", "<dict><key>CF$UID</key><integer>5</integer></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<integer>5</integer>\n</dict>\n"},
        {"CF$UID real is truncated", "<dict><key>CF$UID</key><real>2.7</real></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<integer>2</integer>\n</dict>\n"},
        {"CF$UID -1 is 2^32-1", "<dict><key>CF$UID</key><integer>-1</integer></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<integer>4294967295</integer>\n</dict>\n"},
        {"CF$UID with a string stays a dictionary", "<dict><key>CF$UID</key><string>5</string></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<string>5</string>\n</dict>\n"},
        {"CF$UID beside another key", "<dict><key>CF$UID</key><real>2.5</real><key>x</key><true/></dict>",
         "<dict>\n\t<key>CF$UID</key>\n\t<real>2.5</real>\n\t<key>x</key>\n\t<true/>\n</dict>\n"},
    });
    const plist::ParseResult uid = plist::ParseXML("<dict><key>CF$UID</key><real>2.7</real></dict>");
    ASSERT_NE(uid.root, nullptr);
    EXPECT_EQ(uid.root->Kind(), CFKind::UID);
}

std::string Nested(int depth, const std::string& open, const std::string& close) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += "<string>core</string>";
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

TEST(XmlReader, LimitsNestingTo512Containers) {
    const struct {
        const char* what;
        std::string input;
        bool accepted;
    } cases[] = {
        {"512 arrays", Doc(Nested(512, "<array>", "</array>")), true},
        {"513 arrays", Doc(Nested(513, "<array>", "</array>")), false},
        {"512 dictionaries and arrays", Nested(256, "<dict><key>k</key><array>", "</array></dict>"), true},
        {"an empty array as the 513th", Nested(512, "<array>", "</array>").replace(512 * 7, 21, "<array/>"), false},
        {"100000 arrays", Nested(100000, "<array>", "</array>"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plist::ParseXML(c.input).root != nullptr, c.accepted) << c.what;
    }
    std::string unclosed;
    for (int i = 0; i < 100000; ++i) unclosed += "<array>";
    EXPECT_EQ(plist::ParseXML(unclosed).root, nullptr);
}

// Failure means no root at all: every proper prefix of a valid list is refused, without a crash.
TEST(XmlReader, RefusesEveryTruncation) {
    const std::string full = Doc(
        "<dict><key>a&amp;b</key><array><string>x<![CDATA[y]]></string><integer>-12</integer><real>1.5</real>"
        "<date>2001-01-01T00:00:00Z</date><data>AQID</data><true/><false/><dict/></array></dict>");
    ASSERT_NE(plist::ParseXML(full).root, nullptr);
    const std::size_t end = full.rfind("</plist>");
    for (std::size_t n = 0; n < end; ++n) {
        EXPECT_EQ(plist::ParseXML(full.substr(0, n)).root, nullptr) << n;
    }
}

TEST(XmlReader, ReportsWhereReadingFailed) {
    const struct {
        std::string input;
        std::size_t offset;
    } cases[] = {
        {"<plist><foo/></plist>", 8},
        {"junk", 0},
        {"<array><integer>1x</integer></array>", 17},
        {"\xFF\xFE"s + UTF16("<plist><foo/></plist>", false), 2 + 2 * 8},
    };
    for (const auto& c : cases) {
        const plist::ParseResult result = plist::ParseXML(c.input);
        EXPECT_EQ(result.root, nullptr);
        EXPECT_EQ(result.error.offset, c.offset) << result.error.reason;
    }
}

}  // namespace
