// SPDX-License-Identifier: MIT
// Reading and writing resource forks: real forks from classic and modern Mac writers,
// hand-patched malformed ones, and ones we build.

#include "fork_test_support.h"

using namespace forktest;
using macfork::ErrorKind;

namespace {

// Types with their counts, in order: "MPSR:2 ckid:1".
std::string Summary(const macfork::ResourceMap& map)
{
    std::string out;
    for (const auto& type : map.types)
        out += (out.empty() ? "" : " ") + type.code + ":" + std::to_string(type.resources.size());
    return out;
}

// The fork itself: a companion's resource-fork entry, or a whole file that is one.
std::string ForkOf(const std::string& file)
{
    const std::string bytes = ReadBytes(Sample(file));
    auto companion = macfork::ReadAppleDouble(bytes);
    if (!companion) return bytes;
    const auto* entry = macfork::FindEntry(*companion, macfork::kResourceForkEntry);
    return entry ? entry->bytes : "";
}

// TEXT 1 "a" = "xy"; STR  5 = "s"; STR  6 = "": data at 256 (15 bytes), the map at 271.
std::string SmallFork()
{
    macfork::ResourceMap map;
    macfork::AddResource(map, "TEXT", 1, "xy", "a");
    macfork::AddResource(map, "STR ", 5, "s", "");
    macfork::AddResource(map, "STR ", 6, "", "");
    return *macfork::WriteResourceMap(map);
}

}  // namespace

TEST(ResourceMapRead, ReadsRealForks)
{
    struct Case {
        std::string file;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {"41exey__kext/kext/._Info.plist", ""},
        {"fadden__CiderPress2/adf/._gshk.docs", "MPSR:2 ckid:1"},
        {"fadden__CiderPress2/diskcopy/._Installer Disk 1.image", "dCpy:1"},
        {"masonmark__Dash-Board-for-Newton-OS/._extras2GC.RSRC",
         "PICT:2 STR :1 vers:1 ICN#:1 icl8:1 icl4:1 ics#:1 ics8:1 ics4:1 pnot:1"},
        {"nsbasic-archive__NS-Basic-for-Newton-OS/._Monaco.rsrc", "pkg :1 vers:1 ustr:2"},
        {"nsbasic-archive__NS-Basic-for-Newton-OS/._demoPackTest", "styl:1"},
        {"dgelessus__python-rsrcfork/compressed/Finder Help.rsrc", "hmnu:22 STR#:31 STR :20 fmap:5 vers:2"},
        {"dgelessus__python-rsrcfork/unicode.textClipping.rsrc", "utxt:1 utf8:1 TEXT:1 drag:1"},
        {"hawkfish__efish/FileTypes.rsrc.decoded-fork",
         "FREF:5 ICN#:3 icl4:3 icl8:3 ics#:3 ics4:3 ics8:3 BNDL:1 KILT:1 kind:1 open:1 icns:3"},
        {"uliwitness__filie-system6/Resources.rsrc",
         "MBAR:1 MENU:3 TMPL:2 MNUC:3 DLOG:1 DITL:1 dctb:1 BNDL:1 BOFF:1 FREF:4 ICN#:2 DITC:1 WIND:1"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string bytes = ForkOf(c.file);
        auto map = macfork::ReadResourceMap(bytes);
        ASSERT_TRUE(map) << macfork::Describe(map.error().kind) << " at " << map.error().offset;
        EXPECT_EQ(Summary(*map), c.summary);
        auto written = macfork::WriteResourceMap(*map);
        ASSERT_TRUE(written);
        auto again = macfork::ReadResourceMap(*written);
        ASSERT_TRUE(again);
        EXPECT_EQ(Contents(*again), Contents(*map));
        // Every one of them was already compact, so it comes back byte for byte.
        if (!bytes.empty()) {
            EXPECT_TRUE(*written == bytes);
        }
    }
}

TEST(ResourceMapRead, RefusesMalformedForks)
{
    const std::string base = SmallFork();
    ASSERT_EQ(base.size(), 271u + 84u);
    constexpr std::size_t M = 271;
    struct Case {
        std::string name;
        std::string bytes;
        ErrorKind kind;
        std::uint64_t offset;
    };
    std::vector<Case> cases = {
        {"shorter than the header", base.substr(0, 10), ErrorKind::Truncated, 10},
        {"data past the end", Patched(base, 0, 4, 350), ErrorKind::HeaderOutOfRange, 0},
        {"data offset wraps", Patched(base, 0, 4, 0xFFFFFFFFu), ErrorKind::HeaderOutOfRange, 0},
        {"map of 29 bytes", Patched(base, 12, 4, 29), ErrorKind::MapTooShort, 12},
        {"data into the map", Patched(base, 8, 4, 16), ErrorKind::DataOverlapsMap, 0},
        {"type list past the map", Patched(base, M + 24, 2, 83), ErrorKind::ListOutOfRange, M + 24},
        {"too many types", Patched(base, M + 28, 2, 10), ErrorKind::TypeListOutOfRange, M + 28},
        {"reference list past the map", Patched(base, M + 36, 2, 0x100), ErrorKind::ReferenceListOutOfRange,
         M + 36},
        {"shared reference list", Patched(Patched(base, M + 44, 2, 18), M + 42, 2, 0),
         ErrorKind::ReferenceListOutOfRange, M + 44},
        {"data length past the data", Patched(base, 256, 4, 100), ErrorKind::DataOutOfRange, M + 51},
        {"data length wraps", Patched(base, 256, 4, 0xFFFFFFFFu), ErrorKind::DataOutOfRange, M + 51},
        {"shared data block", Patched(base, M + 75, 3, 0), ErrorKind::DataOutOfRange, M + 75},
        {"name offset past the list", Patched(base, M + 48, 2, 2), ErrorKind::NameOutOfRange, M + 48},
        {"type twice", Patched(base, M + 38, 4, 0x54455854), ErrorKind::DuplicateType, M + 38},
        {"ID twice", Patched(base, M + 70, 2, 5), ErrorKind::DuplicateId, M + 70},
    };
    // An Apple IIgs fork, as macOS keeps it: not a Mac resource map, so it must be refused.
    if (HaveShared())
        cases.push_back(
            {"Apple IIgs fork", ForkOf("fadden__CiderPress2/adf/._GSHK"), ErrorKind::HeaderOutOfRange, 0});
    ASSERT_TRUE(macfork::ReadResourceMap(base));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto map = macfork::ReadResourceMap(c.bytes);
        ASSERT_FALSE(map);
        EXPECT_EQ(map.error().kind, c.kind) << macfork::Describe(map.error().kind);
        EXPECT_EQ(map.error().offset, c.offset);
    }
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(1);
}

TEST(ResourceMapWrite, AddsOrReplacesByTypeAndId)
{
    struct Case {
        std::string name;
        std::string start;  // fork bytes
        std::string type;
        std::int16_t id;
        std::string data;
        std::string newName;
        std::string expected;  // Contents() lines of the resources after writing and reading back
    };
    const std::string head = std::string(480, '0') + " map 0 0 0 copy\n";
    const std::string small = "TEXT 1 0 'a' 0 7879\nSTR  5 0 - 0 73\nSTR  6 0 - 0 \n";
    const std::vector<Case> cases = {
        {"a new type goes last", SmallFork(), "plst", 0, "P", "", small + "plst 0 0 - 0 50\n"},
        {"a new ID goes last in its type", SmallFork(), "TEXT", -2, "", "b",
         "TEXT 1 0 'a' 0 7879\nTEXT -2 0 'b' 0 \nSTR  5 0 - 0 73\nSTR  6 0 - 0 \n"},
        {"replacing sets a name", SmallFork(), "STR ", 6, "q", "n",
         "TEXT 1 0 'a' 0 7879\nSTR  5 0 - 0 73\nSTR  6 0 'n' 0 71\n"},
        {"type codes are exact", SmallFork(), "text", 1, "", "", small + "text 1 0 - 0 \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto map = macfork::ReadResourceMap(c.start);
        ASSERT_TRUE(map);
        macfork::AddResource(*map, c.type, c.id, c.data, c.newName);
        EXPECT_EQ(macfork::FindResource(*map, c.type, c.id)->data, c.data);
        auto written = macfork::WriteResourceMap(*map);
        ASSERT_TRUE(written);
        auto again = macfork::ReadResourceMap(*written);
        ASSERT_TRUE(again);
        EXPECT_EQ(Contents(*again), head + c.expected);
    }
}

TEST(ResourceMapWrite, RefusesWhatTheFieldsCannotHold)
{
    macfork::ResourceMap longName, shortType;
    macfork::AddResource(longName, "TEXT", 1, "", std::string(256, 'n'));
    macfork::AddResource(shortType, "TXT", 1, "", "");
    for (const auto* map : {&longName, &shortType}) {
        auto written = macfork::WriteResourceMap(*map);
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().kind, ErrorKind::TooLarge);
    }
}
