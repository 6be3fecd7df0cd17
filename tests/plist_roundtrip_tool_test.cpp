// SPDX-License-Identifier: MIT
// The developer tool: prints CF's XML of a readable list, else one line of reason and status 1.
#include "child_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path kGolden = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";

std::string ReadFile(const fs::path& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

TEST(RoundtripTool, PrintsXMLOrOneLineOfReason) {
    const struct {
        fs::path input;        // a golden case
        const char* expected;  // golden .xml to print, or nullptr for a refusal
        const char* reason;    // part of the refusal's line
    } cases[] = {
        {kGolden / "rd-bom-utf8.in", "rd-bom-utf8.xml", ""},
        {kGolden / "txt-dict-quoted.in", "txt-dict-quoted.xml", ""},
        {kGolden / "rd-mismatched-close.in", nullptr, ""},
        {kGolden / "set-bin.in", nullptr, ""},  // a set, which XML cannot carry
        {kGolden / "missing.plist", nullptr, "cannot be read"},
        {kGolden, nullptr, "cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const fixtures::Finished run = fixtures::RunProgram({PLIST_ROUNDTRIP, c.input});
        EXPECT_EQ(run.status, c.expected ? 0 : 1);
        EXPECT_EQ(run.out, c.expected ? ReadFile(kGolden / c.expected) : "");
        if (c.expected) {
            EXPECT_EQ(run.err, "");
            continue;
        }
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
}

}  // namespace
