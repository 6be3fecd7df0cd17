// SPDX-License-Identifier: MIT
// The object model's dictionary rules, the operations given nothing, and XML for trees the golden
// answers cannot reach.
#include "platform/plist/plist.h"
#include "platform/plist/plugin_interface.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace std::string_literals;

// Short builders for trees.
using Ref = CFObjectZorpRef;
const auto Str = [](std::string s) -> Ref { return plist::NewStringZorp(std::move(s)); };
const auto Int = [](long v) -> Ref { return std::make_shared<CFIntegerZorp>(std::uint64_t(v), false); };
const auto Real = [](double v) -> Ref { return std::make_shared<CFRealZorp>(v); };
const auto Bool = [](bool v) -> Ref { return std::make_shared<CFBooleanZorp>(v); };
const auto Date = [](double seconds) -> Ref { return std::make_shared<CFDateZorp>(seconds); };
const auto Data = [](std::string bytes) -> Ref { return plist::NewBinaryDataZorp(std::move(bytes)); };
const auto Null = []() -> Ref { return std::make_shared<CFNullZorp>(); };
const auto Array = [](std::vector<Ref> items) -> Ref { return plist::NewArrayZorp(std::move(items)); };
const auto Dict = [](std::initializer_list<std::pair<Ref, Ref>> entries) {
    auto dict = std::make_shared<CFMutableDictionaryZorp>();
    for (const auto& [key, value] : entries) dict->Set(key, value);
    return dict;
};
// A value found, as plist_dump shows it, or "none".
const auto Shown = [](const CFObjectZorp* found) { return found ? plist_dump::Dump(*found) : "none"; };

TEST(Keys, AreEqualBySameKindAndValue)
{
    const struct {
        const char* what;
        CFObjectZorpRef a, b;
        bool equal;
    } cases[] = {
        {"same text", Str("NSUIElement"), Str("NSUIElement"), true},
        {"case differs", Str("NSUIElement"), Str("nsuielement"), false},
        // No normalisation: precomposed e-acute against e + combining acute.
        {"normalisation", Str("\xC3\xA9"), Str("e\xCC\x81"), false},
        {"string and data", Str("k"), Data("k"), false},
        {"integer and real", Int(1), Real(1.0), false},
        {"-1 and 2^64-1", Int(-1), std::make_shared<CFIntegerZorp>(18446744073709551615u, true), false},
        {"NaN keys", Real(NAN), Real(NAN), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plist::KeysEqual(*c.a, *c.b), c.equal) << c.what;
        EXPECT_EQ(plist::KeysEqual(*c.b, *c.a), c.equal) << c.what;
    }
}

// Small dictionaries scan, large ones hash, whether made or read. A repeated key keeps the later
// value (Set, and the reader) or the first (Add); read keys longer than the reader shares are
// compared by their text. Add keeps an application's own NSUIElement; a copy owns what it holds.
TEST(Dictionary, FindsEveryKeyAtAnySizeAndACopyIsIndependentOfItsSource)
{
    enum class Made { BySet, ByAdd, ByReading, ByReadingLongKeys };
    for (const int size : {1, 8, 9, 64, 65, 1000}) {
        for (const Made how : {Made::BySet, Made::ByAdd, Made::ByReading, Made::ByReadingLongKeys}) {
            SCOPED_TRACE(std::to_string(size) + " made " + std::to_string(int(how)));
            const bool read = how == Made::ByReading || how == Made::ByReadingLongKeys;
            const std::string k = how == Made::ByReadingLongKeys ? std::string(70, 'k') : "key";
            auto made = std::make_shared<CFMutableDictionaryZorp>();
            const auto put = [&](Ref key, Ref value) {
                how == Made::ByAdd ? made->Add(key, value) : made->Set(key, value);
            };
            std::string xml = "<dict>";
            for (int i = 0; i < size; ++i) {
                put(Str(k + std::to_string(i)), Int(i));
                xml += "<key>" + k + std::to_string(i) + "</key><integer>" + std::to_string(i) + "</integer>";
            }
            put(Int(7), Str("integer key"));
            put(Real(-0.0), Str("zero"));
            put(Real(NAN), Str("NaN"));
            put(Str(k + "0"), Str("again"));
            CFDictionaryZorpRef parsed =
                read ? plist::AsDictionary(
                           plist::Parse(xml + "<key>" + k + "0</key><string>again</string></dict>").root)
                     : nullptr;
            ASSERT_TRUE(parsed || !read);
            const CFDictionaryZorp& dict = read ? *parsed : *made;
            ASSERT_EQ(dict.Count(), static_cast<std::size_t>(size) + (read ? 0 : 3));
            for (int i = 1; i < size; ++i)
                EXPECT_EQ(Shown(dict.Find(k + std::to_string(i))), std::to_string(i));
            EXPECT_EQ(Shown(dict.Find(k + "0")), how == Made::ByAdd ? "0" : "\"again\"");
            EXPECT_EQ(dict.Find(k), nullptr);
            if (!read) {
                EXPECT_EQ(dict.Find(*Str("7")), nullptr) << "a string is not the integer key";
                EXPECT_NE(dict.Find(*Int(7)), nullptr);
                EXPECT_NE(dict.Find(*Real(0.0)), nullptr) << "0 and -0 are one key";
                EXPECT_NE(dict.Find(*Real(-NAN)), nullptr) << "NaN keys are one key";
            }

            const std::string first0 = Shown(dict.Find(k + "0")), first1 = Shown(dict.Find(k + "1"));
            const std::size_t count = dict.Count();
            CFMutableDictionaryZorpRef first = plist::MutableCopy(read ? parsed : made);
            first->Add(Str(k + "0"), Str("changed"));
            first->Add(Str("NSUIElement"), Str("true"));
            first->Add(nullptr, Str("x"));
            EXPECT_EQ(first->Count(), count + 1);
            EXPECT_EQ(dict.Count(), count);
            EXPECT_EQ(dict.Find("NSUIElement"), nullptr);
            const CFMutableDictionaryZorpRef second = plist::MutableCopy(first);
            first->Set(Str(k + "0"), Str("replaced"));
            made->Set(Str(k + "1"), Str("changed"));
            first.reset(), parsed.reset(), made.reset();
            EXPECT_EQ(Shown(second->Find(k + "0")), first0);
            EXPECT_EQ(Shown(second->Find(k + "1")), first1);
        }
    }
}

// An operation as the plug-in's table hands it out.
template <class Signature>
Signature* Bound(const plist::Operation<Signature>& operation)
{
    const plist::Entrypoint entry = plist::LookupEntrypoint(operation.declaration);
    EXPECT_NE(entry, nullptr) << operation.declaration;
    return plist::Restore(operation, entry);
}

TEST(Operations, NilAndInvalidArgumentsGiveNil)
{
    EXPECT_EQ(Bound(plist::kNewCFObjectZorpFromXML)(nullptr), nullptr);
    EXPECT_EQ(Bound(plist::kXML)(Null()), nullptr) << "null cannot be written as XML";
    EXPECT_EQ(Bound(plist::kNewCFStringZorp)("caf\xE9"), nullptr) << "not UTF-8";
    EXPECT_EQ(Bound(plist::kNewCFStringZorp)("\xED\xA0\x80"), nullptr) << "a surrogate";
    ASSERT_NE(Bound(plist::kNewCFStringZorp)("caf\xC3\xA9"), nullptr);
}

using plist_dump::XmlBody;

// Dates: fractions of a second, which neither XML nor CF's binary cases hold, round toward minus
// infinity. Text: only ampersand and angle brackets are escaped.
TEST(XmlWriter, WritesWhatCFWritesAndRefusesWhatXMLCannotCarry)
{
    const std::string text = "&amp; \"'\r\n\t\0<>"s, written = "&amp;amp; \"'\r\n\t\0&lt;&gt;"s;
    auto selfHolding = std::make_shared<CFMutableDictionaryZorp>();
    selfHolding->Add(Str("me"), selfHolding);
    const struct {
        const char* what;
        CFObjectZorpRef root;
        std::string body;  // "(nullopt)" when refused
    } cases[] = {
        {"a date before 2001", Date(-0.25), "<date>2000-12-31T23:59:59Z</date>\n"},
        {"a date just before a second", Date(0.999), "<date>2001-01-01T00:00:00Z</date>\n"},
        {"a string", Str(text), "<string>" + written + "</string>\n"},
        {"a key", Dict({{Str(text), Bool(true)}}),
         "<dict>\n\t<key>" + written + "</key>\n\t<true/>\n</dict>\n"},
        {"data key deep inside", Array({Array({Dict({{Data("k"), Str("v")}})})}), "(nullopt)"},
        {"NaN date", Date(std::numeric_limits<double>::quiet_NaN()), "(nullopt)"},
        {"infinite date", Date(HUGE_VAL), "(nullopt)"},
        {"a dictionary that holds itself", selfHolding, "(nullopt)"},
    };
    for (const auto& c : cases) EXPECT_EQ(XmlBody(*c.root), c.body) << c.what;
    selfHolding->Set(Str("me"), Str("no longer a cycle"));
}

// The result grows as it fills; whole or in a sink's pieces, large output comes out as small does.
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
        std::make_shared<CFUIDZorp>(9),
        Dict({{Str("k<"), Array({Str("x")})}}),
        Array({}),
        Str(std::string(std::size_t{3} << 19, 'x') + "&")};  // longer than any block the writer takes
    std::vector<CFObjectZorpRef> items;
    std::string expected = "<array>\n";
    while (expected.size() < (std::size_t{3} << 20)) {
        const CFObjectZorpRef& item = kinds[items.size() % kinds.size()];
        items.push_back(item);
        std::string one = XmlBody(*Array({item}));
        expected += one.substr(8, one.size() - 8 - 9);  // its lines inside "<array>\n" ... "</array>\n"
    }
    expected += "</array>\n";
    EXPECT_EQ(XmlBody(*Array(items)), expected);
    std::string pieces;
    EXPECT_TRUE(plist::WriteXML(*Array(items), [&pieces](std::string_view piece) { pieces += piece; }));
    EXPECT_EQ(pieces, plist::WriteXML(*Array(items)));

    items.push_back(Null());
    EXPECT_FALSE(plist::WriteXML(*Array(items)).has_value()) << "refused at the end of a large tree";
}

}  // namespace
