// Reading and writing AppleDouble companions: real ones from several writers, hand-packed
// malformed ones, and ones made by the independent writer.

#include "fork/appledouble.h"
#include "fork_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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
    out += std::string(16, '\0');
    const auto n = static_cast<std::uint32_t>(count < 0 ? table.size() : count);
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
    for (const auto& d : table) {
        Put32(out, d.id);
        Put32(out, d.offset);
        Put32(out, d.length);
    }
    while (out.size() < size) out.push_back(static_cast<char>(out.size()));
    out.resize(size);
    return out;
}

std::string Entry(const macfork::AppleDouble& file, std::uint32_t id)
{
    const auto* entry = macfork::FindEntry(file, id);
    return entry ? entry->bytes : "<none>";
}

const std::vector<std::string> kCompanions = {
    "41exey__kext/kext/._Info.plist",
    "JamesBarwell__rpi-gpio.js/.AppleDouble/README.md",
    "TeXShop__TeXShop/English.lproj/.AppleDouble/CustomInfo.plist",
    "fadden__CiderPress2/GSHK11.zip/__MACOSX/._gshk.docs",
    "fadden__CiderPress2/adf/._GSHK",
    "fadden__CiderPress2/adf/._gshk.docs",
    "fadden__CiderPress2/diskcopy/._Installer Disk 1.image",
    "felipeeco__php-page/__MACOSX/._.DS_Store",
    "felipeeco__php-page/__MACOSX/._meldinger.php",
    "masonmark__Dash-Board-for-Newton-OS/._Dash Board Prefs.proj.text",
    "masonmark__Dash-Board-for-Newton-OS/._DashBoard.ntkc",
    "masonmark__Dash-Board-for-Newton-OS/._extras2GC.RSRC",
    "nsbasic-archive__NS-Basic-for-Newton-OS/._Monaco.rsrc",
    "nsbasic-archive__NS-Basic-for-Newton-OS/._demoPackTest",
};

}  // namespace

TEST(AppleDoubleRead, ReadsRealCompanions)
{
    struct Case {
        std::string file;
        std::uint32_t version;
        std::size_t entries;
        std::string typeAndCreator;
        std::size_t forkLength;
    };
    const std::vector<Case> cases = {
        {"41exey__kext/kext/._Info.plist", 0x00020000, 2, std::string(8, '\0'), 286},
        {"JamesBarwell__rpi-gpio.js/.AppleDouble/README.md", 0x00020000, 13, std::string(8, '\0'), 0},
        {"TeXShop__TeXShop/English.lproj/.AppleDouble/CustomInfo.plist", 0x00010000, 5, std::string(8, '\0'), 0},
        {"fadden__CiderPress2/adf/._gshk.docs", 0x00020000, 2, "TEXTpdos", 575},
        {"fadden__CiderPress2/diskcopy/._Installer Disk 1.image", 0x00020000, 6, "dImgdCpy", 359},
        {"masonmark__Dash-Board-for-Newton-OS/._Dash Board Prefs.proj.text", 0x00020000, 2, "TEXTMPS ", 0},
        {"nsbasic-archive__NS-Basic-for-Newton-OS/._Monaco.rsrc", 0x00020000, 2, "rsrcRSED", 8918},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto file = macfork::ReadAppleDouble(ReadFile(Sample(c.file)));
        ASSERT_TRUE(file) << macfork::Describe(file.error().kind);
        EXPECT_EQ(file->version, c.version);
        EXPECT_EQ(file->entries.size(), c.entries);
        EXPECT_EQ(Entry(*file, macfork::kFinderInfoEntry).substr(0, 8), c.typeAndCreator);
        EXPECT_EQ(Entry(*file, macfork::kResourceForkEntry).size(), c.forkLength);
    }
}

TEST(AppleDoubleRead, RefusesMalformedCompanions)
{
    struct Case {
        std::string name;
        std::string bytes;
        ErrorKind kind;
        std::uint64_t offset;
    };
    const std::vector<Case> cases = {
        {"empty", "", ErrorKind::Truncated, 0},
        {"short magic", std::string("\0\x05\x16", 3), ErrorKind::Truncated, 3},
        {"AppleSingle", Pack({{9, 50, 32}}, 82, 0x00051600), ErrorKind::BadMagic, 0},
        {"other magic", Pack({{9, 50, 32}}, 82, 0x12345678), ErrorKind::BadMagic, 0},
        {"BinHex text", ReadFile(Sample("hawkfish__efish/FileTypes.rsrc")), ErrorKind::BadMagic, 0},
        {"a bare resource fork", ReadFile(Sample("uliwitness__filie-system6/Resources.rsrc")), ErrorKind::BadMagic, 0},
        {"version 3", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00030000), ErrorKind::BadVersion, 4},
        {"no count", Pack({}, 25), ErrorKind::Truncated, 25},
        {"count past end", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00020000, 6), ErrorKind::Truncated, 24},
        {"count FFFF", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00020000, 0xFFFF), ErrorKind::Truncated, 24},
        {"entry ID 0", Pack({{9, 62, 10}, {0, 72, 10}}, 82), ErrorKind::InvalidEntryId, 38},
        {"offset past end", Pack({{9, 50, 32}, {2, 83, 0}}, 82), ErrorKind::EntryOutOfRange, 38},
        {"length past end", Pack({{9, 50, 33}}, 82), ErrorKind::EntryOutOfRange, 26},
        {"offset + length wraps", Pack({{9, 50, 32}, {2, 0xFFFFFFF0u, 0x20}}, 82), ErrorKind::EntryOutOfRange, 38},
        {"huge length", Pack({{2, 50, 0xFFFFFFFFu}}, 82), ErrorKind::EntryOutOfRange, 26},
        {"inside the table", Pack({{9, 30, 8}}, 82), ErrorKind::EntryOverlapsHeader, 26},
        {"inside a grown table", Pack({{9, 50, 32}, {2, 40, 4}}, 82), ErrorKind::EntryOverlapsHeader, 38},
        {"overlapping entries", Pack({{9, 50, 32}, {2, 81, 1}}, 82), ErrorKind::EntriesOverlap, 38},
        {"one inside another", Pack({{2, 60, 4}, {9, 50, 32}}, 82), ErrorKind::EntriesOverlap, 26},
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

TEST(AppleDoubleRead, AcceptsEdgeLayouts)
{
    struct Case {
        std::string name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"version 1", Pack({{9, 50, 32}}, 82, 0x00051607, 0x00010000)},
        {"empty entry at the end", Pack({{9, 50, 32}, {2, 82, 0}}, 82)},
        {"empty entries sharing an offset", Pack({{1, 94, 0}, {2, 94, 0}, {9, 62, 32}}, 94)},
        {"unknown IDs", Pack({{0x80444556u, 50, 8}, {9, 58, 24}}, 82)},
        {"no entries", Pack({}, 26)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = macfork::ReadAppleDouble(c.bytes);
        ASSERT_TRUE(file) << macfork::Describe(file.error().kind);
        auto written = macfork::WriteAppleDouble(*file);
        ASSERT_TRUE(written);
        EXPECT_EQ(*written, c.bytes);
    }
}

TEST(AppleDoubleWrite, UnchangedCompanionsAreByteIdentical)
{
    for (const auto& name : kCompanions) {
        SCOPED_TRACE(name);
        const std::string bytes = ReadFile(Sample(name));
        auto file = macfork::ReadAppleDouble(bytes);
        ASSERT_TRUE(file);
        auto written = macfork::WriteAppleDouble(*file);
        ASSERT_TRUE(written);
        EXPECT_TRUE(*written == bytes);
    }
}

// Every entry but the fork keeps its bytes and place in the table; those before the fork keep
// their offsets too; the independent reader sees the same.
TEST(AppleDoubleWrite, ReplacingTheForkKeepsEveryOtherEntry)
{
    const std::vector<std::string> forks = {"", std::string(3, 'x'), std::string(70000, 'y')};
    TempDir dir;
    for (const auto& name : kCompanions) {
        for (const auto& newFork : forks) {
            SCOPED_TRACE(name + " with a fork of " + std::to_string(newFork.size()));
            auto before = macfork::ReadAppleDouble(ReadFile(Sample(name)));
            ASSERT_TRUE(before);
            auto edited = *before;
            macfork::SetEntry(edited, macfork::kResourceForkEntry, newFork);
            auto written = macfork::WriteAppleDouble(edited);
            ASSERT_TRUE(written);
            auto after = macfork::ReadAppleDouble(*written);
            ASSERT_TRUE(after) << macfork::Describe(after.error().kind);
            EXPECT_EQ(after->filler, before->filler);
            EXPECT_EQ(after->version, before->version);
            ASSERT_EQ(after->entries.size(), before->entries.size());
            const auto forkOffset = *macfork::FindEntry(*before, macfork::kResourceForkEntry)->offset;
            for (std::size_t i = 0; i < before->entries.size(); ++i) {
                const auto& was = before->entries[i];
                const auto& now = after->entries[i];
                EXPECT_EQ(now.id, was.id);
                if (was.id == macfork::kResourceForkEntry) {
                    EXPECT_TRUE(now.bytes == newFork);
                    continue;
                }
                EXPECT_TRUE(now.bytes == was.bytes) << "entry " << was.id;
                if (*was.offset < forkOffset) {
                    EXPECT_EQ(*now.offset, *was.offset) << "entry " << was.id;
                }
            }
            const fs::path out = dir.path() / "written";
            WriteFile(out, *written);
            const std::string dump = DumpCompanion(out);
            EXPECT_NE(dump.find("entry 2 " + std::to_string(newFork.size()) + " " + Hex(newFork) + "\n"),
                      std::string::npos);
            const std::string info = Entry(*before, macfork::kFinderInfoEntry);
            EXPECT_NE(dump.find("entry 9 " + std::to_string(info.size()) + " " + Hex(info) + "\n"),
                      std::string::npos);
        }
    }
}

TEST(AppleDoubleWrite, PlacesANewOrGrownFork)
{
    struct Case {
        std::string name;
        std::string bytes;
        bool offsetsKept;
    };
    // The ATTR block of the second case gives its data at absolute offset 124, inside entry 9.
    std::string attr = std::string(34, 'f') + "ATTR" + std::string(4, '\0');
    Put32(attr, 38 + 88);
    Put32(attr, 38 + 86);
    Put32(attr, 2);
    attr += std::string(12, '\0') + std::string("\0\0\0\x01", 4);
    Put32(attr, 38 + 86);
    Put32(attr, 2);
    attr += std::string("\0\0\x02", 3) + std::string("n\0", 2) + std::string(3, '\0');
    attr.resize(86, '\0');
    attr += "hi";
    std::string tight = Pack({{9, 38, static_cast<std::uint32_t>(attr.size())}}, 38) + attr;
    const std::vector<Case> cases = {
        {"room in the table", Pack({{9, 50, 32}}, 82), true},
        {"Finder info right after the table", tight, false},
        {"no entries", Pack({}, 26), true},
        {"an empty fork lying inside the Finder info", Pack({{9, 50, 32}, {2, 60, 0}}, 82), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto before = macfork::ReadAppleDouble(c.bytes);
        ASSERT_TRUE(before);
        auto edited = *before;
        macfork::SetEntry(edited, macfork::kResourceForkEntry, "FORK");
        auto written = macfork::WriteAppleDouble(edited);
        ASSERT_TRUE(written);
        auto after = macfork::ReadAppleDouble(*written);
        ASSERT_TRUE(after);
        EXPECT_EQ(Entry(*after, macfork::kResourceForkEntry), "FORK");
        ASSERT_EQ(after->entries.size(), edited.entries.size());
        for (std::size_t i = 0; i < before->entries.size(); ++i) {
            const auto& was = before->entries[i];
            const auto& now = after->entries[i];
            if (was.id == macfork::kResourceForkEntry) continue;
            if (c.offsetsKept) {
                EXPECT_EQ(now.bytes, was.bytes);
                EXPECT_EQ(now.offset, was.offset);
                continue;
            }
            // A moved Finder info keeps its attribute pointing at the same value.
            const std::uint64_t data = (static_cast<unsigned char>(now.bytes[34 + 12]) << 24 |
                                        static_cast<unsigned char>(now.bytes[34 + 13]) << 16 |
                                        static_cast<unsigned char>(now.bytes[34 + 14]) << 8 |
                                        static_cast<unsigned char>(now.bytes[34 + 15]));
            EXPECT_EQ(written->substr(data, 2), "hi");
            EXPECT_EQ(now.bytes.substr(0, 34), was.bytes.substr(0, 34));
        }
    }
}
