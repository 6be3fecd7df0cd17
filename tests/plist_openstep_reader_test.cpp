// SPDX-License-Identifier: MIT
// The old text format beyond the cases CoreFoundation answered in cf-golden.
#include "platform/plist/readers.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

namespace {

using plist_dump::Dump;
using namespace std::string_literals;

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

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
        {"513 arrays", Repeat("(", 513) + Repeat(")", 513), false},
        {"deep strings file", "a = " + Repeat("(", 511) + Repeat(")", 511) + ";", true},
        {"too deep strings file", "a = " + Repeat("(", 512) + Repeat(")", 512) + ";", false},
        {"100000 open parentheses", Repeat("(", 100000), false},
    };
    for (const auto& c : cases) {
        plist::ParseResult r = plist::ParseOpenStep(c.text);
        EXPECT_EQ(r.root != nullptr, c.accepted) << c.name << ": " << plist::Describe(r.error.kind);
    }
}

}  // namespace
