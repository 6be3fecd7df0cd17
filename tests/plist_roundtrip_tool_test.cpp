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

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RoundtripTool : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "plist-roundtrip-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
    }
    void TearDown() override { fs::remove_all(mDir); }

    struct Run {
        int status;
        std::string out, err;
    };

    Run Start(const fs::path& input) {
        const fs::path out = mDir / "out", err = mDir / "err";
        const std::string command = "'" PLIST_ROUNDTRIP "' '" + input.string() + "' >'" + out.string() + "' 2>'" +
                                    err.string() + "'";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
    }

    fs::path mDir;
};

TEST_F(RoundtripTool, PrintsXMLOrOneLineOfReason) {
    const fs::path golden = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";
    const struct {
        const char* what;
        std::string bytes;  // written to the input file
        const char* expected;  // golden .xml to print, or nullptr for a refusal
    } cases[] = {
        {"XML", ReadFile(golden / "rd-bom-utf8.in"), "rd-bom-utf8.xml"},
        {"binary", ReadFile(golden / "empties.in"), "empties.xml"},
        {"old text format", ReadFile(golden / "txt-dict-quoted.in"), "txt-dict-quoted.xml"},
        {"malformed", ReadFile(golden / "rd-mismatched-close.in"), nullptr},
        {"empty", "", nullptr},
        {"a set, which XML cannot carry", ReadFile(golden / "set-bin.in"), nullptr},
    };
    for (const auto& c : cases) {
        const fs::path input = mDir / "input.plist";
        std::ofstream(input, std::ios::binary) << c.bytes;
        const Run run = Start(input);
        if (c.expected) {
            EXPECT_EQ(run.status, 0) << c.what;
            EXPECT_EQ(run.out, ReadFile(golden / c.expected)) << c.what;
            EXPECT_EQ(run.err, "") << c.what;
        } else {
            EXPECT_EQ(run.status, 1) << c.what;
            EXPECT_EQ(run.out, "") << c.what;
            ASSERT_FALSE(run.err.empty()) << c.what;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.what << ": " << run.err;
        }
    }
}

TEST_F(RoundtripTool, ReportsWhatCannotBeRead) {
    for (const fs::path& input : {mDir / "missing.plist", mDir}) {
        const Run run = Start(input);
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_NE(run.err.find("cannot be read"), std::string::npos) << run.err;
    }
}

}  // namespace
