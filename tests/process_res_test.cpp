// The resource-fork route on real files with AppleDouble companions, most of them packed by
// the independent writer in tools/make_appledouble.py.

#include "file_fixtures.h"
#include "fork/appledouble.h"
#include "fork/resource_map.h"
#include "fork_test_support.h"
#include "framework/atomic_file.h"
#include "framework/resource_fork.h"
#include "framework/zorp_plugin.h"
#include "patcher/patcher.h"
#include "plist/plist.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using fixtures::FailingStep;
using fixtures::ReadBytes;
using fixtures::RecordedMessages;
using fixtures::TempFolder;
using fixtures::WriteBytes;
using std::filesystem::path;

namespace {

const std::string kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleName</key>\n\t<string>App</string>\n</dict>\n</plist>\n";
const std::string kAgentFalse =
    "<plist version=\"1.0\"><dict><key>NSUIElement</key><string>0</string>"
    "<key>CFBundleName</key><string>App</string></dict></plist>";

struct Res {
    std::string type;
    int id;
    std::string name;
    int attributes;
    std::string data;
};

// The independent writer's description of a companion of the given layout, type and fork.
std::string Description(const std::string& layout, const std::string& type, const std::vector<Res>& fork,
                 const std::string& more = "")
{
    std::vector<std::string> order;
    for (const Res& r : fork)
        if (std::find(order.begin(), order.end(), r.type) == order.end()) order.push_back(r.type);
    std::string types;
    for (const std::string& code : order) {
        std::string resources;
        for (const Res& r : fork) {
            if (r.type != code) continue;
            resources += std::string(resources.empty() ? "" : ", ") + "{\"id\": " + std::to_string(r.id) +
                         ", \"name\": \"" + r.name + "\", \"attributes\": " + std::to_string(r.attributes) +
                         ", \"hex\": \"" + forktest::Hex(r.data) + "\"}";
        }
        types += std::string(types.empty() ? "" : ", ") + "{\"code\": \"" + code + "\", \"resources\": [" +
                 resources + "]}";
    }
    std::string escapedType;
    for (char ch : type) {
        const auto byte = static_cast<unsigned char>(ch);
        escapedType += byte < 0x20 ? "\\u00" + forktest::Hex(std::string(1, ch)) : std::string(1, ch);
    }
    return "{\"layout\": \"" + layout + "\", \"type\": \"" + escapedType +
           "\", \"creator\": \"ttxt\", \"attributes\": [[\"com.apple.quarantine\", \"30303831\"]]" +
           ", \"fork\": {\"attributes\": 32, \"types\": [" + types + "]}" + more + "}";
}

const std::vector<Res> kAppFork = {
    {"vers", 1, "version", 4, std::string("\x01\x00\x80\x00", 4)},
    {"plst", 0, "", 0, kPlist},
    {"plst", 7, "other", 0, "<plist><array/></plist>"},
    {"icns", -16455, "", 2, "icon"},
};

std::string Companion(const TempFolder& folder, const std::string& description)
{
    const path built = folder / "built";
    forktest::BuildCompanion(description, built);
    std::string bytes = ReadBytes(built);
    std::filesystem::remove(built);
    return bytes;
}

// What the library itself makes of the text with the entry added (unless it is there already).
std::string Patched(const std::string& original)
{
    auto root = std::dynamic_pointer_cast<CFDictionaryZorp>(plist::Parse(original).root);
    if (!root) return "<no dictionary>";
    CFMutableDictionaryZorpRef editable = root->Edit();
    editable->Add(std::make_shared<CFStringZorp>("NSUIElement"), std::make_shared<CFStringZorp>("true"));
    return plist::WriteXML(*editable).value_or("<not writable>");
}

std::string Patch32(std::string bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
    return bytes;
}

std::string Patch16(std::string bytes, std::size_t at, std::uint32_t value)
{
    bytes[at] = static_cast<char>(value >> 8);
    bytes[at + 1] = static_cast<char>(value);
    return bytes;
}

std::uint32_t Get32(const std::string& bytes, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

// The route's result on the companion: every entry but the fork byte for byte and in place,
// every resource but plst 0 as it was, and plst 0 the patched text with no name.
void ExpectPatched(const std::string& before, const std::string& after, const std::string& newPlst)
{
    auto was = macfork::ReadAppleDouble(before);
    auto now = macfork::ReadAppleDouble(after);
    ASSERT_TRUE(was);
    ASSERT_TRUE(now);
    EXPECT_EQ(now->filler, was->filler);
    ASSERT_EQ(now->entries.size(), was->entries.size());
    const std::uint64_t forkOffset = *macfork::FindEntry(*was, macfork::kResourceForkEntry)->offset;
    for (std::size_t i = 0; i < was->entries.size(); ++i) {
        EXPECT_EQ(now->entries[i].id, was->entries[i].id);
        if (was->entries[i].id == macfork::kResourceForkEntry) continue;
        EXPECT_TRUE(now->entries[i].bytes == was->entries[i].bytes) << "entry " << was->entries[i].id;
        if (*was->entries[i].offset < forkOffset) {
            EXPECT_EQ(now->entries[i].offset, was->entries[i].offset);
        }
    }
    auto oldMap = macfork::ReadResourceMap(macfork::FindEntry(*was, macfork::kResourceForkEntry)->bytes);
    auto newMap = macfork::ReadResourceMap(macfork::FindEntry(*now, macfork::kResourceForkEntry)->bytes);
    ASSERT_TRUE(oldMap);
    ASSERT_TRUE(newMap);
    EXPECT_EQ(newMap->attributes, oldMap->attributes);
    ASSERT_EQ(newMap->types.size(), oldMap->types.size());
    for (std::size_t t = 0; t < oldMap->types.size(); ++t) {
        const auto& oldType = oldMap->types[t];
        const auto& newType = newMap->types[t];
        EXPECT_EQ(newType.code, oldType.code);
        ASSERT_EQ(newType.resources.size(), oldType.resources.size());
        for (std::size_t r = 0; r < oldType.resources.size(); ++r) {
            const auto& o = oldType.resources[r];
            const auto& n = newType.resources[r];
            EXPECT_EQ(n.id, o.id);
            EXPECT_EQ(n.attributes, o.attributes);
            const bool target = oldType.code == "plst" && o.id == 0;
            EXPECT_EQ(n.data, target ? newPlst : o.data);
            EXPECT_EQ(n.name, target ? std::nullopt : o.name);
        }
    }
}

std::string RunRoute(const path& file)
{
    RecordedMessages messages;
    Patcher().ProcessRes(std::make_shared<FolderItem>(file));
    return messages.Joined();
}


}  // namespace

TEST(ProcessRes, PatchesPlstZeroKeepingEverythingElse)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        std::string name;
        std::string layout;
        std::vector<Res> fork;
        std::string more;
        std::string original;  // plst 0
    };
    const std::vector<Case> cases = {
        {"macOS layout", "macos", kAppFork, "", kPlist},
        {"unknown entries after the fork", "plain", kAppFork, R"(, "extra": [[2151960918, "0a0b"], [3, "41707000"]])",
         kPlist},
        {"NSUIElement already there", "macos", {{"plst", 0, "", 0, kAgentFalse}}, "", kAgentFalse},
        {"plst 0 with a name and attributes", "plain", {{"plst", 0, "Info", 8, kPlist}, {"plst", 1, "", 0, "x"}}, "",
         kPlist},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string before = Companion(folder, Description(c.layout, "APPL", c.fork, c.more));
        WriteBytes(folder / "._App", before);
        WriteBytes(folder / "App", "data fork");

        EXPECT_EQ(RunRoute(folder / "App"), "");
        const std::string after = ReadBytes(folder / "._App");
        EXPECT_EQ(ReadBytes(folder / "App"), "data fork");
        EXPECT_EQ(fixtures::Listing(folder.Path()), (std::vector<std::string>{"._App", "App"}));
        ExpectPatched(before, after, Patched(c.original));

        // The independent reader sees the same resources, and a second run changes nothing more.
        const std::string dump = forktest::DumpCompanion(folder / "._App");
        EXPECT_NE(dump.find("resource 706c7374 0 "), std::string::npos);
        EXPECT_EQ(RunRoute(folder / "App"), "");
        EXPECT_TRUE(ReadBytes(folder / "._App") == after);
    }
}

TEST(ProcessRes, LeavesFilesUnchangedWithTheExactMessageOrSilence)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string openFailed = "Failed to open resource fork of file App.\n";
    const std::string noPlst = "No plst resource in file App.\n";
    TempFolder scratch;
    const std::string good = Companion(scratch, Description("plain", "APPL", kAppFork));
    // plain layout: Finder info at 50 (32 bytes), fork at 82; the fork's map at 82 + its offset.
    const std::size_t forkLength = Get32(good, 46);
    const std::size_t map = 82 + Get32(good, 82 + 4);
    struct Case {
        std::string name;
        std::string companion;  // "" for none
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"a document", Companion(scratch, Description("plain", "TEXT", kAppFork)), ""},
        {"type codes are case-sensitive", Companion(scratch, Description("plain", "appl", kAppFork)), ""},
        {"empty type", Companion(scratch, Description("plain", std::string(4, '\0'), kAppFork)), ""},
        {"no companion", "", ""},
        {"plst with another ID only", Companion(scratch, Description("plain", "APPL", {{"plst", 1, "", 0, kPlist}})), noPlst},
        {"empty plst 0", Companion(scratch, Description("macos", "APPL", {{"plst", 0, "", 0, ""}})), noPlst},
        {"empty fork", Companion(scratch, Description("macos", "APPL", {})), noPlst},
        {"no fork entry", Companion(scratch, Description("nofork", "APPL", {})), noPlst},
        {"unparseable plst", Companion(scratch, Description("plain", "APPL", {{"plst", 0, "", 0, "<plist><dict>"}})), ""},
        {"array root", Companion(scratch, Description("plain", "APPL", {{"plst", 0, "", 0, "<plist><array/></plist>"}})),
         ""},
        {"string root", Companion(scratch, Description("plain", "APPL", {{"plst", 0, "", 0, "<plist><string/></plist>"}})),
         ""},
        {"fork past the end", Patch32(good, 46, static_cast<std::uint32_t>(forkLength + 1)), openFailed},
        {"fork offset wraps", Patch32(good, 42, 0xFFFFFFF0u), openFailed},
        {"fork over the Finder info", Patch32(good, 42, 70), openFailed},
        {"fork inside the table", Patch32(good, 42, 40), openFailed},
        {"count past the end", Patch16(good, 24, 300), openFailed},
        {"Finder info twice", Patch32(good, 38, 9), openFailed},
        {"entry ID 0", Patch32(good, 38, 0), openFailed},
        {"map past the fork", Patch32(good, 82 + 4, static_cast<std::uint32_t>(forkLength)), openFailed},
        {"map too short", Patch32(good, 82 + 12, 20), openFailed},
        {"type listed twice", Patch32(good, map + 38, Get32(good, map + 30)), openFailed},
        {"data past the data area", Patch32(good, map + 28 + 2 + 8 * 3 + 5, 0x00FFFFFF), openFailed},
        {"unknown version", Patch32(good, 4, 0x00030000), ""},
        {"AppleSingle", Patch32(good, 0, 0x00051600), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "App", "data fork");
        if (!c.companion.empty()) WriteBytes(folder / "._App", c.companion);
        const auto listing = fixtures::Listing(folder.Path());

        EXPECT_EQ(RunRoute(folder / "App"), c.expected);
        EXPECT_EQ(ReadBytes(folder / "App"), "data fork");
        EXPECT_EQ(fixtures::Listing(folder.Path()), listing);
        if (!c.companion.empty()) {
            EXPECT_TRUE(ReadBytes(folder / "._App") == c.companion);
        }
    }
}

TEST(ProcessRes, ReportsACompanionItCannotWrite)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    TempFolder scratch;
    const std::string companion = Companion(scratch, Description("macos", "APPL", kAppFork));
    using fixtures::kNobody;
    struct Case {
        std::string name;
        std::function<std::string(const TempFolder&)> run;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"commit fails", [](const TempFolder& t) {
             FailingStep failing("rename");
             return RunRoute(t / "My App");
         },
         "Failed to write resource fork of file My App.\n"},
        {"companion not writable", [](const TempFolder& t) {
             ::chown(t.Path().c_str(), kNobody, kNobody);
             return fixtures::RunAsNobody([&] { return RunRoute(t / "My App"); });
         },
         "Failed to open resource fork of file My App.\n"},
        {"folder not writable", [](const TempFolder& t) {
             ::chown((t / "._My App").c_str(), kNobody, kNobody);
             return fixtures::RunAsNobody([&] { return RunRoute(t / "My App"); });
         },
         "Failed to open resource fork of file My App.\n"},
        // No link is followed, so the type is not known and the route ends silently.
        {"a link in place of the companion", [&](const TempFolder& t) {
             WriteBytes(t / "real", companion);
             std::filesystem::remove(t / "._My App");
             std::filesystem::create_symlink("real", t / "._My App");
             return RunRoute(t / "My App");
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "My App", "data fork");
        WriteBytes(folder / "._My App", companion);
        EXPECT_EQ(c.run(folder), c.expected);
        EXPECT_EQ(ReadBytes(folder / "My App"), "data fork");
        EXPECT_TRUE(ReadBytes(folder / (std::filesystem::is_symlink(folder / "._My App") ? "real" : "._My App")) ==
                    companion);
    }
}

// The framework's side: the type as stored, and what is written when, through the fork alone.
TEST(ResourceFork, CommitsOnlyAChangeAndOnlyOnce)
{
    TempFolder scratch;
    const std::string companion = Companion(scratch, Description("macos", "APPL", kAppFork));
    const std::string withoutFork = Companion(scratch, Description("nofork", "APPL", {}));
    struct Case {
        std::string name;
        std::string companion;  // "" for none
        std::function<void(ResourceFork&)> use;
        std::string plst0;  // afterwards; "<no companion>" when none may exist
    };
    auto add = [](ResourceFork& f) { f.AddResource("new", "plst", 0, ""); };
    const std::vector<Case> cases = {
        {"read only", companion, [](ResourceFork&) {}, kPlist},
        {"added, committed on release", companion, add, "new"},
        {"added, committed explicitly", companion,
         [&](ResourceFork& f) {
             add(f);
             EXPECT_TRUE(f.Commit());
         },
         "new"},
        {"companion without a fork entry", withoutFork, add, "new"},
        {"no companion, nothing added", "", [](ResourceFork& f) { EXPECT_EQ(f.GetResource("plst", 0), ""); },
         "<no companion>"},
        {"no companion, a resource added", "", add, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "App", "data fork");
        if (!c.companion.empty()) WriteBytes(folder / "._App", c.companion);
        FolderItem item(folder / "App");
        EXPECT_EQ(item.MacType(), c.companion.empty() ? "" : "APPL");
        {
            ResourceForkRef fork = item.OpenResourceFork();
            ASSERT_TRUE(fork);
            c.use(*fork);
        }
        if (c.plst0 == "<no companion>") {
            EXPECT_FALSE(std::filesystem::exists(folder / "._App"));
            continue;
        }
        ResourceForkRef again = item.OpenResourceFork();
        ASSERT_TRUE(again);
        EXPECT_EQ(again->GetResource("plst", 0), c.plst0);
        auto was = macfork::ReadAppleDouble(c.companion);
        auto now = macfork::ReadAppleDouble(ReadBytes(folder / "._App"));
        ASSERT_TRUE(now);
        if (c.plst0 == kPlist) {
            EXPECT_TRUE(ReadBytes(folder / "._App") == c.companion);
        } else if (was) {
            // The Finder info (with its attributes) stays where and what it was.
            const auto* before = macfork::FindEntry(*was, macfork::kFinderInfoEntry);
            const auto* after = macfork::FindEntry(*now, macfork::kFinderInfoEntry);
            EXPECT_EQ(after->offset, before->offset);
            EXPECT_TRUE(after->bytes == before->bytes);
        }
    }
}

// The type is the Finder info's first four bytes as stored, told even when the rest of the
// companion is faulty; without a readable Finder info there is none.
TEST(ResourceFork, MacTypeReadsTheFinderInfoAsStored)
{
    TempFolder scratch;
    const std::string good = Companion(scratch, Description("plain", "APPL", kAppFork));
    struct Case {
        std::string name;
        std::string companion;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"as written", good, "APPL"},
        {"bytes kept as they are", Companion(scratch, Description("plain", "ap\x01L", {})), "ap\x01L"},
        {"a fault elsewhere in the table", Patch32(good, 42, 0xFFFFFFF0u), "APPL"},
        {"Finder info of three bytes", Patch32(good, 34, 3), ""},
        {"Finder info past the end", Patch32(good, 30, static_cast<std::uint32_t>(good.size() - 2)), ""},
        {"no Finder info entry", Patch32(good, 26, 10), ""},
        {"cut inside the header", good.substr(0, 20), ""},
        {"empty", "", ""},
        {"a folder in its place", "<folder>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "App", "data fork");
        if (c.companion == "<folder>")
            std::filesystem::create_directory(folder / "._App");
        else
            WriteBytes(folder / "._App", c.companion);
        EXPECT_EQ(FolderItem(folder / "App").MacType(), c.expected);
    }
}
