// SPDX-License-Identifier: MIT
// CoreFoundation's XML serialisation, byte for byte, for trees its golden answers cannot reach.
#include "platform/plist/plist.h"
#include "plist_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace plist_tree;
using namespace std::string_literals;

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                            "<plist version=\"1.0\">\n";
const std::string kFooter = "</plist>\n";

// The lines between the frame.
std::string Body(const CFObjectZorp& root)
{
    const std::optional<std::string> xml = plist::WriteXML(root);
    if (!xml) return "(nullopt)";
    EXPECT_TRUE(xml->starts_with(kHeader) && xml->ends_with(kFooter)) << *xml;
    return xml->substr(kHeader.size(), xml->size() - kHeader.size() - kFooter.size());
}

// Fractions of a second, which neither XML nor CF's binary cases hold, round toward minus infinity.
TEST(XmlWriter, WritesDatesRoundedDown)
{
    EXPECT_EQ(Body(*Date(-0.25)), "<date>2000-12-31T23:59:59Z</date>\n");
    EXPECT_EQ(Body(*Date(0.999)), "<date>2001-01-01T00:00:00Z</date>\n");
}

TEST(XmlWriter, EscapesOnlyAmpersandAndAngleBrackets)
{
    const std::string text = "&amp; \"'\r\n\t\0<>"s;
    const std::string written = "&amp;amp; \"'\r\n\t\0&lt;&gt;"s;
    EXPECT_EQ(Body(*Str(text)), "<string>" + written + "</string>\n");
    EXPECT_EQ(Body(*Dict({{text, Bool(true)}})),
              "<dict>\n\t<key>" + written + "</key>\n\t<true/>\n</dict>\n");
}

TEST(XmlWriter, RefusesWhatXMLCannotCarry)
{
    auto selfHolding = std::make_shared<CFMutableDictionaryZorp>();
    selfHolding->Add(Str("me"), selfHolding);
    const struct {
        const char* what;
        CFObjectZorpRef root;
    } cases[] = {
        {"data key deep inside", Array({Array({KeyedDict({{Data("k"), Str("v")}})})})},
        {"NaN date", Date(std::numeric_limits<double>::quiet_NaN())},
        {"infinite date", Date(HUGE_VAL)},
        {"a dictionary that holds itself", selfHolding},
    };
    for (const auto& c : cases) EXPECT_FALSE(plist::WriteXML(*c.root).has_value()) << c.what;
    selfHolding->Set(Str("me"), Str("no longer a cycle"));
}

// The result grows as it fills; large output must come out as small output does, byte for byte,
// whole or in the pieces a sink is handed.
TEST(XmlWriter, WritesLargeTreesAsSmallOnes)
{
    const std::vector<CFObjectZorpRef> kinds = {
        Str("a&b<c>d"),
        Str(std::string(300, '&')),
        Int(-123456789),
        Real(0.1),
        Date(-0.25),
        Data(std::string(100, '\x7f')),
        Bool(true),
        UID(9),
        Dict({{"k<", Array({Str("x")})}}),
        Array({}),
        Str(std::string(std::size_t{3} << 19, 'x') + "&")};  // longer than any block the writer takes
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
    std::string pieces;
    EXPECT_TRUE(plist::WriteXML(*Array(items), [&pieces](std::string_view piece) { pieces += piece; }));
    EXPECT_EQ(pieces, plist::WriteXML(*Array(items)));

    items.push_back(Null());
    EXPECT_FALSE(plist::WriteXML(*Array(items)).has_value()) << "refused at the end of a large tree";
}

}  // namespace
