// SPDX-License-Identifier: MIT
#include "platform/framework/msgbox.h"
#include "platform/framework/printable.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

TEST(EscapeControls, LeavesOneLineWithNoControlOfAnyKind)
{
    const struct {
        const char* label;
        std::string text, shown;
        char quote = '\0';
    } cases[] = {
        {"plain ASCII", "Tool.app", "Tool.app"},
        {"accented and CJK text", "Caf\xC3\xA9 \xE7\xA7\x91\xE6\x8A\x80.app",
         "Caf\xC3\xA9 \xE7\xA7\x91\xE6\x8A\x80.app"},
        {"four-byte UTF-8", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"line ends and tab", "a\nb\rc\td", "a\\nb\\rc\\td"},
        {"other C0 controls", std::string("\0\x01\x1b[2K\x1f", 7), "\\x00\\x01\\x1b[2K\\x1f"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"backslash", "a\\n", "a\\\\n"},
        {"C1 as UTF-8", "\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F", "\\u0080\\u0085\\u009b\\u009f"},
        {"first code point past C1", "\xC2\xA0", "\xC2\xA0"},
        {"raw C1 bytes", "\x9B\x85", "\\x9b\\x85"},
        {"line and paragraph separators", "a\xE2\x80\xA8z\xE2\x80\xA9", "a\\u2028z\\u2029"},
        {"bidirectional controls",
         "\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9",
         "\\u061c\\u200e\\u200f\\u202a\\u202e\\u2066\\u2069"},
        {"joiners stay", "\xE2\x80\x8C\xE2\x80\x8D", "\xE2\x80\x8C\xE2\x80\x8D"},
        {"invalid UTF-8", "\xFF\xC0\xAF\xED\xA0\x80", "\\xff\\xc0\\xaf\\xed\\xa0\\x80"},
        {"truncated sequence", "ab\xE2\x80", "ab\\xe2\\x80"},
        {"quotes kept without a quote", "say \"hi\"", "say \"hi\""},
        {"quotes escaped inside quotes", "no\", LSUIElement = \"true", "no\\\", LSUIElement = \\\"true", '"'},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.text, c.quote), c.shown) << c.label;
}

// Without a window or a console presenter, a message goes to standard error: its own line ends
// (carriage returns) break lines, a name's controls do not.
TEST(EscapeControls, AMessageOnStandardErrorKeepsItsLinesAndEscapesTheRest)
{
    std::ostringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    MsgBox("First line.\rNo plst resource in file a\nb\xC2\x9B.");
    std::cerr.rdbuf(saved);
    EXPECT_EQ(captured.str(), "First line.\nNo plst resource in file a\\nb\\u009b.\n");
}
