// SPDX-License-Identifier: MIT
// Reading and writing AppleDouble companions: real ones from several writers and hand-packed ones.

#include "fork_test_support.h"
#include "platform/fork/appledouble.h"

using namespace forktest;
using macfork::ErrorKind;

namespace {

struct Descriptor {
    std::uint32_t id, offset, length;
};

void Put32(std::string& out, std::uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}

// A companion with the given table, filled with counting bytes up to size.
std::string Pack(const std::vector<Descriptor>& table, std::size_t size, std::uint32_t magic = 0x00051607,
                 std::uint32_t version = 0x00020000, int count = -1)
{
    std::string out;
    Put32(out, magic);
    Put32(out, version);
    out = Patched(out + std::string(18, '\0'), 24, 2, count < 0 ? table.size() : count);
    for (const auto& d : table)
        for (std::uint32_t field : {d.id, d.offset, d.length}) Put32(out, field);
    while (out.size() < size) out.push_back(static_cast<char>(out.size()));
    out.resize(size);
    return out;
}

std::string Entry(const macfork::AppleDouble& file, std::uint32_t id)
{
    const auto* entry = macfork::FindEntry(file, id);
    return entry ? entry->bytes : "<none>";
}

}  // namespace

// Each reads as its writer made it, writes back byte for byte, and with its fork replaced keeps
// every other entry's bytes and place in the table, and the offsets of those before the fork.
TEST(AppleDouble, ReadsRewritesAndEditsRealCompanions)
{
    struct Case {
        std::string file;
        std::uint32_t version;
        std::size_t entries;
        std::string typeAndCreator;
        std::size_t forkLength;
    };
    const std::string none(8, '\0');
    const std::vector<Case> cases = {
        {"41exey__kext/kext/._Info.plist", 0x00020000, 2, none, 286},
        {"JamesBarwell__rpi-gpio.js/.AppleDouble/README.md", 0x00020000, 13, none, 0},
        {"TeXShop__TeXShop/English.lproj/.AppleDouble/CustomInfo.plist", 0x00010000, 5, none, 0},
        {"fadden__CiderPress2/GSHK11.zip/__MACOSX/._gshk.docs", 0x00020000, 2, "TEXTpdos", 575},
        {"fadden__CiderPress2/adf/._gshk.docs", 0x00020000, 2, "TEXTpdos", 575},
        {"fadden__CiderPress2/diskcopy/._Installer Disk 1.image", 0x00020000, 6, "dImgdCpy", 359},
        {"felipeeco__php-page/__MACOSX/._meldinger.php", 0x00020000, 2, none, 0},
        {"masonmark__Dash-Board-for-Newton-OS/._Dash Board Prefs.proj.text", 0x00020000, 2, "TEXTMPS ", 0},
        {"masonmark__Dash-Board-for-Newton-OS/._DashBoard.ntkc", 0x00020000, 2, "ntkcNTP1", 2670},
        {"nsbasic-archive__NS-Basic-for-Newton-OS/._Monaco.rsrc", 0x00020000, 2, "rsrcRSED", 8918},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string bytes = ReadBytes(Sample(c.file));
        auto before = macfork::ReadAppleDouble(bytes);
        ASSERT_TRUE(before) << macfork::Describe(before.error().kind);
        EXPECT_EQ(before->version, c.version);
        EXPECT_EQ(before->entries.size(), c.entries);
        EXPECT_EQ(Entry(*before, macfork::kFinderInfoEntry).substr(0, 8), c.typeAndCreator);
        EXPECT_EQ(Entry(*before, macfork::kResourceForkEntry).size(), c.forkLength);
        EXPECT_TRUE(*macfork::WriteAppleDouble(*before) == bytes);

        const auto forkOffset = *macfork::FindEntry(*before, macfork::kResourceForkEntry)->offset;
        for (const std::string& newFork : {std::string(), std::string(70000, 'y')}) {
            auto edited = *before;
            macfork::SetEntry(edited, macfork::kResourceForkEntry, newFork);
            auto after = macfork::ReadAppleDouble(*macfork::WriteAppleDouble(edited));
            ASSERT_TRUE(after) << macfork::Describe(after.error().kind);
            EXPECT_EQ(after->filler, before->filler);
            ASSERT_EQ(after->entries.size(), before->entries.size());
            for (std::size_t i = 0; i < before->entries.size(); ++i) {
                const auto& was = before->entries[i];
                const auto& now = after->entries[i];
                EXPECT_EQ(now.id, was.id);
                EXPECT_TRUE(now.bytes == (was.id == macfork::kResourceForkEntry ? newFork : was.bytes))
                    << was.id;
                if (*was.offset < forkOffset) {
                    EXPECT_EQ(*now.offset, *was.offset) << was.id;
                }
            }
        }
    }
}

TEST(AppleDouble, RefusesMalformedCompanions)
{
    struct Case {
        std::string name;
        std::string bytes;
        ErrorKind kind;
        std::uint64_t offset;
    };
    const std::vector<Case> cases = {
        {"empty", "", ErrorKind::Truncated, 0},
        {"AppleSingle", Pack({{9, 50, 32}}, 82, 0x00051600), ErrorKind::BadMagic, 0},
        {"version 3", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00030000), ErrorKind::BadVersion, 4},
        {"count FFFF", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00020000, 0xFFFF), ErrorKind::Truncated, 24},
        {"entry ID 0", Pack({{9, 62, 10}, {0, 72, 10}}, 82), ErrorKind::InvalidEntryId, 38},
        {"length past end", Pack({{9, 50, 33}}, 82), ErrorKind::EntryOutOfRange, 26},
        {"offset + length wraps", Pack({{9, 50, 32}, {2, 0xFFFFFFF0u, 0x20}}, 82), ErrorKind::EntryOutOfRange,
         38},
        {"inside the table", Pack({{9, 30, 8}}, 82), ErrorKind::EntryOverlapsHeader, 26},
        {"overlapping entries", Pack({{9, 50, 32}, {2, 81, 1}}, 82), ErrorKind::EntriesOverlap, 38},
        {"same ID twice", Pack({{9, 50, 16}, {9, 66, 16}}, 82), ErrorKind::DuplicateEntry, 38},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = macfork::ReadAppleDouble(c.bytes);
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().kind, c.kind) << macfork::Describe(file.error().kind);
        EXPECT_EQ(file.error().offset, c.offset);
    }
}

TEST(AppleDouble, RewritesEdgeLayoutsByteForByte)
{
    for (const std::string& bytes :
         {Pack({{9, 50, 32}}, 82, 0x00051607, 0x00010000), Pack({{9, 50, 32}, {2, 82, 0}}, 82),
          Pack({{1, 94, 0}, {2, 94, 0}, {9, 62, 32}}, 94), Pack({{0x80444556u, 50, 8}, {9, 58, 24}}, 82),
          Pack({}, 26)}) {
        auto file = macfork::ReadAppleDouble(bytes);
        ASSERT_TRUE(file) << macfork::Describe(file.error().kind);
        EXPECT_TRUE(*macfork::WriteAppleDouble(*file) == bytes) << Hex(bytes);
    }
}

// A fork that has no room moves the Finder info that follows the table, and its attribute moves along.
TEST(AppleDouble, MovesAFinderInfoWithItsAttributesToMakeRoomForAFork)
{
    // Finder info right after the table, with an ATTR block whose one value ("hi") lies at absolute offset
    // 124.
    std::string attr = std::string(34, 'f') + "ATTR" + std::string(4, '\0');
    for (std::uint32_t field : {38 + 88, 38 + 86, 2}) Put32(attr, field);
    attr += std::string(12, '\0') + std::string("\0\0\0\x01", 4);
    Put32(attr, 38 + 86);
    Put32(attr, 2);
    attr += std::string("\0\0\x02", 3) + std::string("n\0", 2) + std::string(3, '\0') + "hi";
    auto file = macfork::ReadAppleDouble(Pack({{9, 38, static_cast<std::uint32_t>(attr.size())}}, 38) + attr);
    ASSERT_TRUE(file);
    macfork::SetEntry(*file, macfork::kResourceForkEntry, "FORK");
    auto written = macfork::WriteAppleDouble(*file);
    auto after = macfork::ReadAppleDouble(*written);
    ASSERT_TRUE(after);
    EXPECT_EQ(Entry(*after, macfork::kResourceForkEntry), "FORK");
    const std::string finderInfo = Entry(*after, macfork::kFinderInfoEntry);
    EXPECT_EQ(finderInfo.substr(0, 34), attr.substr(0, 34));
    EXPECT_EQ(written->substr(Get32(finderInfo, 34 + 12), 2), "hi");
}
