// Python's plistlib, an independent writer, makes random trees as XML and as binary lists;
// both must read as the value it printed, and write out as the same XML.

#include "plist/plist.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "veilor-plist-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        mPath = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(mPath, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& Path() const { return mPath; }

private:
    fs::path mPath;
};

TEST(PlistCrossCheck, ReadsWhatPlistlibWrites) {
    constexpr int kTrees = 80;
    struct Run {
        const char* name;
        int seed;
    };
    const Run runs[] = {{"first seed", 1}, {"second seed", 20260101}};
    for (const auto& run : runs) {
        TempFolder folder;
        const std::string command = std::string("'") + VEILOR_PYTHON + "' '" + VEILOR_PLIST_TREES + "' '" +
                                    folder.Path().string() + "' " + std::to_string(kTrees) + " " + std::to_string(run.seed);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        for (int n = 0; n < kTrees; ++n) {
            const fs::path stem = folder.Path() / ("tree-" + std::to_string(n));
            std::string expected = plist_dump::FileBytes(stem.string() + ".dump");
            ASSERT_FALSE(expected.empty()) << run.name << " tree " << n;
            expected.pop_back();

            const plist::ParseResult xml = plist::Parse(plist_dump::FileBytes(stem.string() + ".xml"));
            const plist::ParseResult binary = plist::Parse(plist_dump::FileBytes(stem.string() + ".bin"));
            EXPECT_EQ(xml.format, plist::Format::XML) << run.name << " tree " << n << ": " << xml.error.reason;
            EXPECT_EQ(binary.format, plist::Format::Binary) << run.name << " tree " << n << ": " << binary.error.reason;
            EXPECT_EQ(plist_dump::Dump(xml.root), expected) << run.name << " tree " << n << " as XML";
            EXPECT_EQ(plist_dump::Dump(binary.root), expected) << run.name << " tree " << n << " as binary";
            if (xml.root && binary.root) {
                const auto fromXML = plist::WriteXML(*xml.root);
                const auto fromBinary = plist::WriteXML(*binary.root);
                ASSERT_TRUE(fromXML.has_value()) << run.name << " tree " << n;
                EXPECT_EQ(fromXML, fromBinary) << run.name << " tree " << n;
            }
        }
    }
}

}  // namespace
