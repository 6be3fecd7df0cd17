// SPDX-License-Identifier: MIT
// The resource-fork route on companions packed by the independent writer, tools/make_appledouble.py.

#include "file_fixtures.h"
#include "fork_test_support.h"
#include "patcher/patcher.h"
#include "platform/framework/zorp_plugin.h"

using namespace fixtures;
using namespace forktest;

namespace {

const std::string kPlist = "<plist><dict><key>CFBundleName</key><string>Demo</string></dict></plist>";
// kPlist with the entry added, as CoreFoundation writes it.
const std::string kPatched = TestData("cli/demo-patched.plist");
const std::string kAgentFalse = "<plist version=\"1.0\"><dict><key>NSUIElement</key><string>0</string>"
                                "<key>CFBundleName</key><string>App</string></dict></plist>";

// One resource type in the independent writer's description.
std::string Type(const std::string& code, int id, const std::string& data, const std::string& name = "",
                 int attributes = 0)
{
    return R"({"code": ")" + code + R"(", "resources": [{"id": )" + std::to_string(id) + R"(, "name": ")" +
           name + R"(", "attributes": )" + std::to_string(attributes) + R"(, "hex": ")" + Hex(data) + "\"}]}";
}

const std::string kAppFork = Type("vers", 1, std::string("\x01\x00\x80\x00", 4), "version", 4) + ", " +
                             Type("plst", 0, kPlist) + ", " + Type("icns", -16455, "icon", "", 2);

// A companion of an APPL file with the given layout, fork types and further description.
std::string Companion(const std::string& layout, const std::string& types, const std::string& more = "")
{
    TempFolder scratch;
    BuildCompanion(R"({"layout": ")" + layout + R"(", "type": "APPL", "creator": "ttxt", )" +
                       R"("attributes": [["com.apple.quarantine", "30303831"]], )" +
                       R"("fork": {"attributes": 32, "types": [)" + types + "]}" + more + "}",
                   scratch / "built");
    return ReadBytes(scratch / "built");
}

std::string RunRoute(const fs::path& file)
{
    RecordedMessages messages;
    Patcher().Process(std::make_shared<FolderItem>(file));
    return messages.Joined();
}

}  // namespace

TEST(ProcessRes, PatchesPlstZeroKeepingEverythingElse)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        std::string name, companion;
        int attributes;
        std::string app = "App", companionAt = "._App";  // in the test's folder
    };
    const std::vector<Case> cases = {
        {"macOS layout", Companion("macos", kAppFork), 0},
        {"unknown entries after the fork",
         Companion("plain", kAppFork, R"(, "extra": [[2151960918, "0a0b"], [3, "41707000"]])"), 0},
        {"plst 0 with a name and attributes", Companion("plain", Type("plst", 0, kPlist, "Info", 8)), 8},
        // Unpacked from a Mac's zip archive; a __MACOSX further up is not the nearest.
        {"companion under the archive's __MACOSX", Companion("macos", kAppFork), 0, "Archive/Foo/App",
         "Archive/__MACOSX/Foo/._App"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = folder / c.app, companion = folder / c.companionAt;
        WriteBytes(companion, c.companion);
        WriteBytes(app, "data fork");
        const bool beside = app.parent_path() == companion.parent_path();
        if (!beside) WriteBytes(folder / "__MACOSX/Archive/Foo/._App", FinderInfoCompanion("TEXT", "ttxt"));
        const std::string dumped = DumpCompanion(companion);

        EXPECT_EQ(RunRoute(app), "");
        const std::string after = ReadBytes(companion);
        EXPECT_EQ(ReadBytes(app), "data fork");
        // Written back where it was found, and nowhere else.
        using Names = std::vector<std::string>;
        EXPECT_EQ(Listing(app.parent_path()), beside ? Names({"._App", "App"}) : Names({"App"}));
        EXPECT_EQ(Listing(companion.parent_path()), beside ? Names({"._App", "App"}) : Names({"._App"}));
        // Every entry but the fork and every resource but plst 0 as it was; plst 0 patched, its name gone.
        EXPECT_EQ(Without(Facts(after), {"plst 0 "}), Without(Facts(c.companion), {"plst 0 "}));
        const std::string patched = "plst 0 " + std::to_string(c.attributes) + " - 0 " + Hex(kPatched) + "\n";
        EXPECT_NE(Facts(after).find(patched), std::string::npos) << Facts(after);
        // The independent reader sees the same of what we wrote.
        const std::string dump = DumpCompanion(companion);
        const std::initializer_list<std::string_view> unpatched = {"entry 2 ", "resource 706c7374 0 "};
        EXPECT_EQ(Without(dump, unpatched), Without(dumped, unpatched));
        EXPECT_NE(
            dump.find("resource 706c7374 0 " + std::to_string(c.attributes) + " - " + Hex(kPatched) + "\n"),
            std::string::npos)
            << dump;

        EXPECT_EQ(RunRoute(app), "");
        EXPECT_TRUE(ReadBytes(companion) == after);
    }
}

TEST(ProcessRes, LeavesFilesUnchangedWithTheExactMessageOrSilence)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string openFailed = "Failed to open resource fork of file App.\n",
                      noPlst = "No plst resource in file App.\n";
    // plain layout: Finder info at 50 (32 bytes), fork at 82; the fork's map at 82 + its offset.
    const std::string good = Companion("plain", kAppFork);
    const std::uint32_t forkLength = Get32(good, 46);
    const std::size_t map = 82 + Get32(good, 82 + 4);
    using Prepare = std::function<void(const TempFolder&)>;
    struct Case {
        std::string name, companion;  // companion: "" for none
        std::string expected;
        Prepare prepare = nullptr;
        bool asNobody = false;
        std::function<bool(const fs::path& folder)> atRename = {};  // answers whether the rename may go on
    };
    auto owned = [](const char* name) {
        return [=](const TempFolder& t) { EXPECT_EQ(::chown((t / name).c_str(), kNobody, kNobody), 0); };
    };
    // Another program's new companion, of the same bytes, just before the rename.
    auto replace = [](const fs::path& f) {
        WriteBytes(f / "new", ReadBytes(f / "._App"));
        fs::rename(f / "new", f / "._App");
        return true;
    };
    const std::string writeFailed = "Failed to write resource fork of file App.\n";
    const std::vector<Case> cases = {
        {"a document", Patched(good, 50, 4, 0x54455854), ""},
        {"no companion", "", ""},
        {"plst with another ID only", Companion("plain", Type("plst", 1, kPlist)), noPlst},
        {"no fork entry", Companion("nofork", ""), noPlst},
        {"NSUIElement already there", Companion("macos", Type("plst", 0, kAgentFalse)), ""},
        {"unparseable plst", Companion("plain", Type("plst", 0, "<plist><dict>")), ""},
        {"array root", Companion("plain", Type("plst", 0, "<plist><array/></plist>")), ""},
        // Which faults the fork's readers find is their own tests' concern; the route says one message.
        {"fork past the end", Patched(good, 46, 4, forkLength + 1), openFailed},
        {"type listed twice", Patched(good, map + 38, 4, Get32(good, map + 30)), openFailed},
        // Without a readable Finder info there is no type, so the route ends silently; so it does
        // when the companion is a folder or a link, which is never followed.
        {"no Finder info entry", Patched(good, 26, 4, 10), ""},
        {"a folder in its place", "", "", [](const TempFolder& t) { fs::create_directory(t / "._App"); }},
        {"a link in place of the companion", good, "",
         [](const TempFolder& t) {
             fs::rename(t / "._App", t / "real");
             fs::create_symlink("real", t / "._App");
         }},
        {"commit fails", good, writeFailed, nullptr, false, [](auto&) { return false; }},
        {"replaced by another program meanwhile", good, writeFailed, nullptr, false, replace},
        {"larger than 64 MiB", "", openFailed,
         [&](const TempFolder& t) {
             WriteBytes(t / "._App", good);
             EXPECT_EQ(::truncate((t / "._App").c_str(), (64 << 20) + 1), 0);
         }},
        {"companion not writable", good, openFailed, owned("."), true},
        {"folder not writable", good, openFailed, owned("._App"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "App", "data fork");
        if (!c.companion.empty()) WriteBytes(folder / "._App", c.companion);
        if (c.prepare) c.prepare(folder);
        const auto listing = Listing(folder.Path());
        std::optional<Installed<FileFaultHook>> hook;
        if (c.atRename)
            hook.emplace(SetFileFaultHook, [&](FileStep step) {
                return step != FileStep::Rename || c.atRename(folder.Path());
            });
        EXPECT_EQ(c.asNobody ? RunAsNobody([&] { return RunRoute(folder / "App"); })
                             : RunRoute(folder / "App"),
                  c.expected);
        EXPECT_EQ(ReadBytes(folder / "App"), "data fork");
        EXPECT_EQ(Listing(folder.Path()), listing);
        if (!c.companion.empty()) {
            EXPECT_TRUE(ReadBytes(folder / "._App") == c.companion);
        }
    }
}
