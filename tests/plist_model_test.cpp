// SPDX-License-Identifier: MIT
// The object model's dictionary rules, and the plug-in's operations given nothing to work on.
#include "platform/plist/plist.h"
#include "plist_tree.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace plist_tree;

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
        {"-1 and 2^64-1", Int(-1), UInt(18446744073709551615u), false},
        {"NaN keys", Real(NAN), Real(NAN), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CFKeysEqual(*c.a, *c.b), c.equal) << c.what;
        EXPECT_EQ(CFKeysEqual(*c.b, *c.a), c.equal) << c.what;
    }
}

// Small dictionaries scan, large ones hash: both must answer alike, and keep the value the rule
// asks of a repeated key (XML: the later, binary: the first).
TEST(Dictionary, FindsEveryKeyAtAnySize)
{
    for (const int size : {1, 8, 9, 1000}) {
        for (const auto rule :
             {CFDictionaryZorp::Duplicate::KeepLast, CFDictionaryZorp::Duplicate::KeepFirst}) {
            CFDictionaryZorp dict;
            for (int i = 0; i < size; ++i) dict.Insert(Str("key" + std::to_string(i)), Int(i), rule);
            dict.Insert(Int(7), Str("integer key"), rule);
            dict.Insert(Str("key0"), Str("again"), rule);
            ASSERT_EQ(dict.Count(), static_cast<std::size_t>(size) + 1);
            for (int i = 1; i < size; ++i) {
                const CFObjectZorpRef found = dict.Find("key" + std::to_string(i));
                ASSERT_NE(found, nullptr) << size << " " << i;
                EXPECT_EQ(static_cast<const CFIntegerZorp&>(*found).AsSigned(), i);
            }
            EXPECT_EQ(dict.Find("key0")->Kind(),
                      rule == CFDictionaryZorp::Duplicate::KeepLast ? CFKind::String : CFKind::Integer);
            EXPECT_EQ(dict.Find("key"), nullptr) << size;
            EXPECT_EQ(dict.Find(*Str("7")), nullptr) << "a string is not the integer key";
            ASSERT_NE(dict.Find(*Int(7)), nullptr);
        }
    }
}

// Add keeps an existing value (an application's own NSUIElement stays); an edited copy is independent.
TEST(Dictionary, AddOnlyWhenAbsentIntoAnIndependentCopy)
{
    for (const int size : {2, 30}) {
        auto original = std::make_shared<CFDictionaryZorp>();
        for (int i = 0; i < size; ++i)
            original->Insert(Str("k" + std::to_string(i)), Int(i), CFDictionaryZorp::Duplicate::KeepLast);
        const CFMutableDictionaryZorpRef copy = original->Edit();
        copy->Add(Str("k0"), Str("changed"));
        copy->Add(Str("NSUIElement"), Str("true"));
        copy->Add(nullptr, Str("x"));
        EXPECT_EQ(copy->Count(), static_cast<std::size_t>(size) + 1);
        EXPECT_EQ(copy->Find("k0"), original->Find("k0"));
        EXPECT_EQ(original->Count(), static_cast<std::size_t>(size));
        EXPECT_EQ(original->Find("NSUIElement"), nullptr);
    }
}

// An operation as the plug-in's table hands it out.
template <class Signature>
Signature* Bound(const plugin::Operation<Signature>& operation)
{
    const plugin::Entrypoint entry = plist::LookupEntrypoint(operation.declaration);
    EXPECT_NE(entry, nullptr) << operation.declaration;
    return plugin::Restore(operation, entry);
}

TEST(Operations, NilAndInvalidArgumentsGiveNil)
{
    EXPECT_EQ(Bound(plugin::kNewCFObjectZorpFromXML)(nullptr), nullptr);
    EXPECT_EQ(Bound(plugin::kXML)(Null()), nullptr) << "null cannot be written as XML";
    EXPECT_EQ(NewCFStringZorp("caf\xE9"), nullptr) << "not UTF-8";
    EXPECT_EQ(NewCFStringZorp("\xED\xA0\x80"), nullptr) << "a surrogate";
    ASSERT_NE(NewCFStringZorp("caf\xC3\xA9"), nullptr);
}

}  // namespace
