// CoreFoundation's XML serialisation, byte for byte.
#include "plist/plist.h"
#include "plist/readers.h"
#include "plist_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using namespace plist_tree;

const std::string kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
const std::string kFooter = "</plist>\n";

// The lines between the frame; the frame itself is checked once, by the sample.
std::string Body(const CFObjectZorp& root) {
    const std::optional<std::string> xml = plist::WriteXML(root);
    if (!xml) return "(nullopt)";
    EXPECT_TRUE(xml->starts_with(kHeader) && xml->ends_with(kFooter)) << *xml;
    return xml->substr(kHeader.size(), xml->size() - kHeader.size() - kFooter.size());
}

TEST(XmlWriter, WritesTheSampleExactly) {
    const auto root = Dict({{"Name", Str("A & B")},
                            {"n", Int(42)},
                            {"r", Real(0.1)},
                            {"on", Bool(true)},
                            {"when", Date(0)},
                            {"list", Array({})},
                            {"blob", Data("\x01\x02\x03")}});
    EXPECT_EQ(plist::WriteXML(*root), kHeader +
                                          "<dict>\n"
                                          "\t<key>Name</key>\n"
                                          "\t<string>A &amp; B</string>\n"
                                          "\t<key>blob</key>\n"
                                          "\t<data>\n"
                                          "\tAQID\n"
                                          "\t</data>\n"
                                          "\t<key>list</key>\n"
                                          "\t<array/>\n"
                                          "\t<key>n</key>\n"
                                          "\t<integer>42</integer>\n"
                                          "\t<key>on</key>\n"
                                          "\t<true/>\n"
                                          "\t<key>r</key>\n"
                                          "\t<real>0.10000000000000001</real>\n"
                                          "\t<key>when</key>\n"
                                          "\t<date>2001-01-01T00:00:00Z</date>\n"
                                          "</dict>\n" +
                                          kFooter);
}

TEST(XmlWriter, WritesEveryKindOfValue) {
    const struct {
        const char* what;
        CFObjectZorpRef value;
        std::string body;
    } cases[] = {
        {"string", Str("hello"), "<string>hello</string>\n"},
        {"empty string", Str(""), "<string></string>\n"},
        {"non-ASCII passes as UTF-8", Str("caf\xC3\xA9 \xF0\x9F\x98\x80"), "<string>caf\xC3\xA9 \xF0\x9F\x98\x80</string>\n"},
        {"true", Bool(true), "<true/>\n"},
        {"false", Bool(false), "<false/>\n"},
        {"zero", Int(0), "<integer>0</integer>\n"},
        {"negative", Int(-1), "<integer>-1</integer>\n"},
        {"INT64_MIN", Int(std::numeric_limits<std::int64_t>::min()), "<integer>-9223372036854775808</integer>\n"},
        {"INT64_MAX", Int(std::numeric_limits<std::int64_t>::max()), "<integer>9223372036854775807</integer>\n"},
        {"2^63 unsigned", UInt(9223372036854775808u), "<integer>9223372036854775808</integer>\n"},
        {"2^64-1 unsigned", UInt(18446744073709551615u), "<integer>18446744073709551615</integer>\n"},
        {"empty data", Data(""), "<data>\n</data>\n"},
        {"empty array", Array({}), "<array/>\n"},
        {"empty dictionary", std::make_shared<CFDictionaryZorp>(), "<dict/>\n"},
        {"array", Array({Int(1), Array({Str("x")})}),
         "<array>\n\t<integer>1</integer>\n\t<array>\n\t\t<string>x</string>\n\t</array>\n</array>\n"},
        {"nested dictionary", Dict({{"k", Dict({{"v", Bool(false)}})}}),
         "<dict>\n\t<key>k</key>\n\t<dict>\n\t\t<key>v</key>\n\t\t<false/>\n\t</dict>\n</dict>\n"},
        {"UID", UID(7), "<dict>\n\t<key>CF$UID</key>\n\t<integer>7</integer>\n</dict>\n"},
        {"UID in an array", Array({UID(4294967295u)}),
         "<array>\n\t<dict>\n\t\t<key>CF$UID</key>\n\t\t<integer>4294967295</integer>\n\t</dict>\n</array>\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(Body(*c.value), c.body) << c.what;
}

TEST(XmlWriter, WritesRealsAsCoreFoundationDoes) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.1, "0.10000000000000001"},
        {1.0, "1"},
        {1.5, "1.5"},
        {-2.0, "-2"},
        {1e300, "1.0000000000000001e+300"},
        {2.5e-7, "2.4999999999999999e-07"},
        {4.9406564584124654e-324, "4.9406564584124654e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {123456789012345678.0, "1.2345678901234568e+17"},
        {static_cast<double>(0.1f), "0.10000000149011612"},
        {0.0, "0.0"},
        {-0.0, "0.0"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {HUGE_VAL, "+infinity"},
        {-HUGE_VAL, "-infinity"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Body(*Real(c.value)), std::string("<real>") + c.text + "</real>\n") << c.text;
    }
}

TEST(XmlWriter, WritesDatesRoundedDownWithCoreFoundationsYears) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "2001-01-01T00:00:00Z"},
        {-0.25, "2000-12-31T23:59:59Z"},
        {0.999, "2001-01-01T00:00:00Z"},
        {-3187296000, "1900-01-01T00:00:00Z"},
        {-978307200, "1970-01-01T00:00:00Z"},
        {252423993599, "9999-12-31T23:59:59Z"},
        {252423993600, "10000-01-01T00:00:00Z"},
        {-63113904000, "0001-01-01T00:00:00Z"},
        {-63177148800, "-002-12-31T00:00:00Z"},
        {-1e12, "-29688-04-06T22:13:20Z"},
        {730902896, "2024-02-29T12:34:56Z"},
        {-13198032000, "1582-10-10T00:00:00Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Body(*Date(c.seconds)), std::string("<date>") + c.text + "</date>\n") << c.seconds;
    }
}

// Lines hold 76 - 8 * min(level, 8) characters and begin with min(level, 8) tabs.
TEST(XmlWriter, WrapsBase64ByLevel) {
    std::string bytes;
    for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i * 7);
    for (int level = 0; level <= 10; ++level) {
        CFObjectZorpRef node = Data(bytes);
        for (int i = 0; i < level; ++i) node = Array({node});
        const std::string body = Body(*node);
        const std::string open = std::string(level, '\t') + "<data>\n";
        const std::string close = std::string(level, '\t') + "</data>\n";
        const std::size_t first = body.find(open);
        const std::size_t last = body.find(close);
        ASSERT_TRUE(first != std::string::npos && last != std::string::npos) << level;
        const std::size_t width = 76 - 8 * std::min(level, 8);
        const std::string tabs(std::min(level, 8), '\t');
        std::string encoded;
        for (std::size_t at = first + open.size(); at < last;) {
            const std::size_t end = body.find('\n', at);
            const std::string line = body.substr(at, end - at);
            at = end + 1;
            ASSERT_TRUE(line.starts_with(tabs) && line[tabs.size()] != '\t') << level << ": " << line;
            const std::string chars = line.substr(tabs.size());
            if (at < last) {
                EXPECT_EQ(chars.size(), width) << level;  // every line but the last is full
            }
            encoded += chars;
        }
        EXPECT_EQ(encoded.size(), 268u) << level;  // 200 bytes: 67 groups, the last padded
        EXPECT_TRUE(encoded.starts_with("AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tng5+71/AMKERgfJi00")) << encoded;
        EXPECT_TRUE(encoded.ends_with("anE=")) << encoded;
    }
}

TEST(XmlWriter, EncodesBase64PaddingAndLineEnds) {
    const struct {
        std::string bytes;
        const char* body;
    } cases[] = {
        {"\x01", "<data>\nAQ==\n</data>\n"},
        {"\x01\x02", "<data>\nAQI=\n</data>\n"},
        {"\x01\x02\x03", "<data>\nAQID\n</data>\n"},
        {"\xff\xfe\xfd\xfc", "<data>\n//79/A==\n</data>\n"},
        // 57 bytes fill a level-0 line exactly; no empty line follows.
        {std::string(57, '\0'), "<data>\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n</data>\n"},
        {std::string(58, '\0'),
         "<data>\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\nAA==\n</data>\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(Body(*Data(c.bytes)), c.body) << c.body;
}

TEST(XmlWriter, EscapesOnlyAmpersandAndAngleBrackets) {
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {"a&b", "a&amp;b"},
        {"<tag>", "&lt;tag&gt;"},
        {"]]>", "]]&gt;"},
        {"\"quoted\" 'single'", "\"quoted\" 'single'"},
        {"line\r\nbreak\ttab", "line\r\nbreak\ttab"},
        {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
        {"&amp;", "&amp;amp;"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Body(*Str(c.text)), "<string>" + c.written + "</string>\n") << c.text;
        EXPECT_EQ(Body(*Dict({{c.text, Bool(true)}})), "<dict>\n\t<key>" + c.written + "</key>\n\t<true/>\n</dict>\n");
    }
}

TEST(XmlWriter, SortsKeysByUTF16CodeUnits) {
    const struct {
        const char* what;
        std::vector<std::string> keys;  // in the expected order
    } cases[] = {
        {"capitals first", {"Name", "a", "b", "name"}},
        {"prefix before longer", {"", "a", "ab", "abc"}},
        {"NUL sorts low", {std::string("a\0b", 3), "a1"}},
        {"accents after ASCII", {"e", "z", "\xC3\xA9"}},
        // U+1F600 is a surrogate pair in UTF-16, so it sorts before U+FF61 (UTF-8 order says otherwise).
        {"astral before U+E000-U+FFFF", {"\xF0\x9F\x98\x80", "\xEE\x80\x80x", "\xEF\xBD\xA1"}},
    };
    for (const auto& c : cases) {
        // Inserted in reverse so that the order comes from sorting.
        auto dict = std::make_shared<CFDictionaryZorp>();
        for (auto it = c.keys.rbegin(); it != c.keys.rend(); ++it) {
            dict->Insert(Str(*it), Bool(true), CFDictionaryZorp::Duplicate::KeepLast);
        }
        std::string expected = "<dict>\n";
        for (const std::string& key : c.keys) expected += "\t<key>" + key + "</key>\n\t<true/>\n";
        expected += "</dict>\n";
        EXPECT_EQ(Body(*dict), expected) << c.what;
    }
    // Inserted in order, to show the writer sorts rather than keeps the order it was given.
    EXPECT_EQ(Body(*Dict({{"\xEF\xBD\xA1", Int(1)}, {"\xF0\x9F\x98\x80", Int(2)}})),
              "<dict>\n\t<key>\xF0\x9F\x98\x80</key>\n\t<integer>2</integer>\n\t<key>\xEF\xBD\xA1</key>\n"
              "\t<integer>1</integer>\n</dict>\n");
}

TEST(XmlWriter, RefusesWhatXMLCannotCarry) {
    auto selfHolding = std::make_shared<CFMutableDictionaryZorp>();
    selfHolding->Add(Str("me"), selfHolding);
    const struct {
        const char* what;
        CFObjectZorpRef root;
    } cases[] = {
        {"null", Null()},
        {"null in an array", Array({Str("a"), Null()})},
        {"set", Set({Str("a")})},
        {"set in a dictionary", Dict({{"s", Set({})}})},
        {"integer key", KeyedDict({{Int(1), Str("one")}})},
        {"data key deep inside", Array({Array({KeyedDict({{Data("k"), Str("v")}})})})},
        {"NaN date", Date(std::numeric_limits<double>::quiet_NaN())},
        {"infinite date", Date(HUGE_VAL)},
        {"a dictionary that holds itself", selfHolding},
    };
    for (const auto& c : cases) EXPECT_FALSE(plist::WriteXML(*c.root).has_value()) << c.what;
    selfHolding->Set(Str("me"), Str("no longer a cycle"));
}

// Large output is measured before it is written; it must come out as small output does, byte for byte.
TEST(XmlWriter, WritesLargeTreesAsSmallOnes) {
    const std::vector<CFObjectZorpRef> kinds = {
        Str("a&b<c>d"), Str(std::string(300, '&')), Int(-123456789), Real(0.1), Date(-0.25), Data(std::string(100, '\x7f')),
        Bool(true), UID(9), Dict({{"k<", Array({Str("x")})}}), Array({})};
    std::vector<CFObjectZorpRef> items;
    std::string expected = "<array>\n";
    while (expected.size() < (std::size_t{3} << 20)) {
        const CFObjectZorpRef& item = kinds[items.size() % kinds.size()];
        items.push_back(item);
        std::string one = Body(*Array({item}));
        expected += one.substr(8, one.size() - 8 - 9);  // its lines inside "<array>\n" ... "</array>\n"
    }
    expected += "</array>\n";
    EXPECT_EQ(Body(*Array(items)), expected);

    items.push_back(Null());
    EXPECT_FALSE(plist::WriteXML(*Array(items)).has_value()) << "refused at the end of a large tree";
}

TEST(XmlWriter, WritesDeepAndWideTrees) {
    CFObjectZorpRef deep = Str("core");
    for (int i = 0; i < plist::kMaxDepth; ++i) deep = Array({deep});
    const std::optional<std::string> xml = plist::WriteXML(*deep);
    ASSERT_TRUE(xml.has_value());
    EXPECT_NE(xml->find(std::string(plist::kMaxDepth, '\t') + "<string>core</string>\n"), std::string::npos);

    const CFObjectZorpRef shared = Str("same");
    std::vector<CFObjectZorpRef> items(2000, shared);
    const std::string body = Body(*Array(items));
    std::string expected = "<array>\n";
    for (int i = 0; i < 2000; ++i) expected += "\t<string>same</string>\n";
    EXPECT_EQ(body, expected + "</array>\n");
}

}  // namespace
