// Python's plistlib, an independent writer, makes random trees as XML and as binary lists;
// both must read as the value it printed, and write out as the same XML.

#include "file_fixtures.h"
#include "plist/plist.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(PlistCrossCheck, ReadsWhatPlistlibWrites) {
    constexpr int kTrees = 160;
    const fixtures::TempFolder folder;
    const std::string command = std::string("'") + VEILOR_PYTHON + "' '" + VEILOR_PLIST_TREES + "' '" +
                                folder.Path().string() + "' " + std::to_string(kTrees) + " 20260101";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (int n = 0; n < kTrees; ++n) {
        const std::string stem = (folder / ("tree-" + std::to_string(n))).string();
        std::string expected = fixtures::ReadBytes(stem + ".dump");
        expected.pop_back();
        const plist::ParseResult xml = plist::Parse(fixtures::ReadBytes(stem + ".xml"));
        const plist::ParseResult binary = plist::Parse(fixtures::ReadBytes(stem + ".bin"));
        EXPECT_EQ(xml.format, plist::Format::XML) << "tree " << n << ": " << xml.error.reason;
        EXPECT_EQ(binary.format, plist::Format::Binary) << "tree " << n << ": " << binary.error.reason;
        EXPECT_EQ(plist_dump::Dump(xml.root), expected) << "tree " << n << " as XML";
        EXPECT_EQ(plist_dump::Dump(binary.root), expected) << "tree " << n << " as binary";
        if (xml.root && binary.root) {
            const auto fromXML = plist::WriteXML(*xml.root);
            ASSERT_TRUE(fromXML.has_value()) << "tree " << n;
            EXPECT_EQ(fromXML, plist::WriteXML(*binary.root)) << "tree " << n;
        }
    }
}

}  // namespace
