// SPDX-License-Identifier: MIT
// Resource forks and AppleDouble companions: real ones, hand-patched malformed ones, ones we build.
// Offsets that wrap are refused by the one bounds check both formats use (the AppleDouble row tells).

#include "fork_test_support.h"

using namespace forktest;
using macfork::ErrorKind;

namespace {

struct Descriptor {
    std::uint32_t id, offset, length;
};

// A companion with the given table, filled with counting bytes up to size.
std::string Pack(const std::vector<Descriptor>& table, std::size_t size, std::uint32_t magic = 0x00051607,
                 std::uint32_t version = 0x00020000, int count = -1)
{
    std::string out = Be(magic, 4) + Be(version, 4) + std::string(16, '\0') +
                      Be(std::uint32_t(count < 0 ? table.size() : std::size_t(count)), 2);
    for (const auto& d : table)
        for (std::uint32_t field : {d.id, d.offset, d.length}) out += Be(field, 4);
    while (out.size() < size) out.push_back(static_cast<char>(out.size()));
    out.resize(size);
    return out;
}

std::string Entry(const macfork::AppleDouble& file, std::uint32_t id)
{
    const auto* entry = macfork::FindEntry(file, id);
    return entry ? entry->bytes : "<none>";
}

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

// The map written and read back, as Contents() shows it; "unwritable: WHY" or "unreadable" when it cannot be.
std::string RoundTrip(const macfork::ResourceMap& map, std::string* written = nullptr)
{
    auto bytes = macfork::WriteResourceMap(map);
    if (!bytes) return std::string("unwritable: ") + macfork::Describe(bytes.error().kind);
    if (written) *written = *bytes;
    auto again = macfork::ReadResourceMap(*bytes);
    return again ? Contents(*again) : "unreadable";
}

// Each case's bytes are refused, with its error kind at its offset.
template <class Cases, class Read>
void ExpectEachRefused(const Cases& cases, Read read)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = read(c.bytes);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, c.kind) << macfork::Describe(result.error().kind);
        EXPECT_EQ(result.error().offset, c.offset);
    }
}

}  // namespace

// The rows of tests/data/fork/real-files.txt of that kind; none when the shared folder is absent.
static std::vector<std::vector<std::string>> RealFiles(const std::string& kind, std::size_t& skipped)
{
    std::vector<std::vector<std::string>> rows;
    for (const auto& row : TableRows("fork/real-files.txt"))
        if (row[0] == kind) rows.push_back(row);
    EXPECT_EQ(rows.size(), 10u) << "a lost or emptied table must not pass";
    skipped = HaveShared() ? 0 : rows.size();
    return skipped ? decltype(rows)() : rows;
}

TEST(ResourceMapRead, ReadsRealForks)
{
    std::size_t skipped = 0;
    for (const auto& row : RealFiles("fork", skipped)) {
        SCOPED_TRACE(row[1]);
        const std::string bytes = ForkOf(row[1]);
        auto map = macfork::ReadResourceMap(bytes);
        ASSERT_TRUE(map) << macfork::Describe(map.error().kind) << " at " << map.error().offset;
        EXPECT_EQ(Summary(*map), row[2] == "-" ? "" : row[2]);
        std::string written;
        EXPECT_EQ(RoundTrip(*map, &written), Contents(*map));
        // Every one of them was already compact, so it comes back byte for byte.
        EXPECT_TRUE(bytes.empty() || written == bytes);
    }
    if (skipped) GTEST_SKIP() << SharedSkipped(skipped);
}

TEST(ResourceMapRead, RefusesMalformedForks)
{
    const std::string base = SmallFork();
    ASSERT_EQ(base.size(), 271u + 84u);
    constexpr std::size_t M = 271;
    struct Case {
        std::string name, bytes;
        ErrorKind kind;
        std::uint64_t offset;
    };
    const std::vector<Case> cases = {
        {"shorter than the header", base.substr(0, 10), ErrorKind::Truncated, 10},
        {"data past the end", Patched(base, 0, 4, 350), ErrorKind::HeaderOutOfRange, 0},
        {"map of 29 bytes", Patched(base, 12, 4, 29), ErrorKind::MapTooShort, 12},
        {"data into the map", Patched(base, 8, 4, 16), ErrorKind::DataOverlapsMap, 0},
        {"type list past the map", Patched(base, M + 24, 2, 83), ErrorKind::ListOutOfRange, M + 24},
        {"too many types", Patched(base, M + 28, 2, 10), ErrorKind::TypeListOutOfRange, M + 28},
        {"reference list past the map", Patched(base, M + 36, 2, 0x100), ErrorKind::ReferenceListOutOfRange,
         M + 36},
        {"shared reference list", Patched(Patched(base, M + 44, 2, 18), M + 42, 2, 0),
         ErrorKind::ReferenceListOutOfRange, M + 44},
        {"data length past the data", Patched(base, 256, 4, 100), ErrorKind::DataOutOfRange, M + 51},
        {"shared data block", Patched(base, M + 75, 3, 0), ErrorKind::DataOutOfRange, M + 75},
        {"name offset past the list", Patched(base, M + 48, 2, 2), ErrorKind::NameOutOfRange, M + 48},
        {"type twice", Patched(base, M + 38, 4, 0x54455854), ErrorKind::DuplicateType, M + 38},
        {"ID twice", Patched(base, M + 70, 2, 5), ErrorKind::DuplicateId, M + 70},
    };
    ASSERT_TRUE(macfork::ReadResourceMap(base));
    ExpectEachRefused(cases, [](const auto& bytes) { return macfork::ReadResourceMap(bytes); });
}

// What the fields cannot hold is refused as too large.
TEST(ResourceMapWrite, AddsOrReplacesByTypeAndId)
{
    struct Case {
        std::string name, start;  // start: the fork's bytes
        std::string type;
        std::int16_t id;
        // expected: Contents() lines of the resources after writing and reading back
        std::string data, newName, expected;
    };
    const std::string head = std::string(480, '0') + " map 0 0 0 copy\n";
    const std::string small = "TEXT 1 0 'a' 0 7879\nSTR  5 0 - 0 73\nSTR  6 0 - 0 \n",
                      tooLarge = std::string("unwritable: ") + macfork::Describe(ErrorKind::TooLarge);
    const std::vector<Case> cases = {
        {"a new type goes last", SmallFork(), "plst", 0, "P", "", small + "plst 0 0 - 0 50\n"},
        {"a new ID goes last in its type", SmallFork(), "TEXT", -2, "", "b",
         "TEXT 1 0 'a' 0 7879\nTEXT -2 0 'b' 0 \nSTR  5 0 - 0 73\nSTR  6 0 - 0 \n"},
        {"replacing sets a name", SmallFork(), "STR ", 6, "q", "n",
         "TEXT 1 0 'a' 0 7879\nSTR  5 0 - 0 73\nSTR  6 0 'n' 0 71\n"},
        {"type codes are exact", SmallFork(), "text", 1, "", "", small + "text 1 0 - 0 \n"},
        {"a name over 255 bytes", SmallFork(), "TEXT", 1, "", std::string(256, 'n'), tooLarge},
        {"a type code of three bytes", SmallFork(), "TXT", 1, "", "", tooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto map = macfork::ReadResourceMap(c.start);
        ASSERT_TRUE(map);
        macfork::AddResource(*map, c.type, c.id, c.data, c.newName);
        EXPECT_EQ(macfork::FindResource(*map, c.type, c.id)->data, c.data);
        EXPECT_EQ(RoundTrip(*map), c.expected == tooLarge ? tooLarge : head + c.expected);
    }
}

// With the fork replaced, every other entry keeps its bytes and place, and those before it their offsets.
TEST(AppleDouble, ReadsRewritesAndEditsRealCompanions)
{
    std::size_t skipped = 0;
    for (const auto& row : RealFiles("companion", skipped)) {
        SCOPED_TRACE(row[1]);
        const std::string bytes = ReadBytes(Sample(row[1]));
        auto before = macfork::ReadAppleDouble(bytes);
        ASSERT_TRUE(before) << macfork::Describe(before.error().kind);
        EXPECT_EQ(before->version, std::stoul(row[2], nullptr, 16));
        EXPECT_EQ(before->entries.size(), std::stoul(row[3]));
        EXPECT_EQ(Entry(*before, macfork::kFinderInfoEntry).substr(0, 8),
                  row[4] == "-" ? std::string(8, '\0') : row[4]);
        EXPECT_EQ(Entry(*before, macfork::kResourceForkEntry).size(), std::stoul(row[5]));
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
    if (skipped) GTEST_SKIP() << SharedSkipped(skipped);
}

TEST(AppleDouble, RefusesMalformedCompanions)
{
    struct Case {
        std::string name, bytes;
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
    ExpectEachRefused(cases, [](const auto& bytes) { return macfork::ReadAppleDouble(bytes); });
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
    // Finder info right after the table, with an ATTR block whose one value ("hi") lies at 124.
    std::string attr = std::string(34, 'f') + "ATTR" + std::string(4, '\0');
    for (std::uint32_t field : {38 + 88, 38 + 86, 2}) attr += Be(field, 4);
    attr += std::string(12, '\0') + std::string("\0\0\0\x01", 4) + Be(38 + 86, 4) + Be(2, 4) +
            std::string("\0\0\x02", 3) + std::string("n\0", 2) + std::string(3, '\0') + "hi";
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
