// SPDX-License-Identifier: MIT
// The developer tool: prints CF's XML of a readable list, else one line of reason and status 1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

const fs::path kGolden = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
    int status;
    std::string out, err;
};

// The tool run on `input`, its output kept in `folder`.
Outcome Start(const fs::path& input, const fs::path& folder) {
    const fs::path out = folder / "out", err = folder / "err";
    const std::string command = "'" PLIST_ROUNDTRIP "' '" + input.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
}

class RoundtripTool : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "plist-roundtrip-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
    }
    void TearDown() override { fs::remove_all(mDir); }

    fs::path mDir;
};

TEST_F(RoundtripTool, PrintsXMLOrOneLineOfReason) {
    const struct {
        const char* input;     // a golden case
        const char* expected;  // golden .xml to print, or nullptr for a refusal
    } cases[] = {
        {"rd-bom-utf8.in", "rd-bom-utf8.xml"},
        {"empties.in", "empties.xml"},
        {"txt-dict-quoted.in", "txt-dict-quoted.xml"},
        {"rd-mismatched-close.in", nullptr},
        {"set-bin.in", nullptr},  // a set, which XML cannot carry
    };
    for (const auto& c : cases) {
        const Outcome run = Start(kGolden / c.input, mDir);
        EXPECT_EQ(run.status, c.expected ? 0 : 1) << c.input;
        EXPECT_EQ(run.out, c.expected ? ReadFile(kGolden / c.expected) : "") << c.input;
        if (c.expected) {
            EXPECT_EQ(run.err, "") << c.input;
        } else {
            ASSERT_FALSE(run.err.empty()) << c.input;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.input << ": " << run.err;
        }
    }
}

TEST_F(RoundtripTool, ReportsWhatCannotBeRead) {
    for (const fs::path& input : {mDir / "missing.plist", mDir}) {
        const Outcome run = Start(input, mDir);
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_NE(run.err.find("cannot be read"), std::string::npos) << run.err;
    }
}

}  // namespace
