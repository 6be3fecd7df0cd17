#include "file_fixtures.h"
#include "framework/atomic_file.h"
#include "framework/nil_object.h"
#include "framework/zorp_plugin.h"
#include "patcher/patcher.h"
#include "plist/plist.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace fixtures;

namespace {

const std::string kOpenFailed = "Failed to open info.plist file.";
const std::string kWriteFailed = "Failed to write info.plist file.";

std::string Inline(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
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

// Every item below the folder: kind, mode and content (a large file by its size only).
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> items;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info = LinkStatus(entry.path());
        std::string described = std::to_string(info.st_mode) + " ";
        if (S_ISLNK(info.st_mode))
            described += "-> " + fs::read_symlink(entry.path()).string();
        else if (S_ISREG(info.st_mode))
            described += info.st_size > (1 << 20) ? "size " + std::to_string(info.st_size) : ReadBytes(entry.path());
        items[fs::relative(entry.path(), folder).string()] = described;
    }
    return items;
}

FolderItemRef Item(const fs::path& path)
{
    return std::make_shared<FolderItem>(path);
}

// Runs the route on the bundle and answers the messages it showed, one a line.
std::string RunRoute(const fs::path& bundle)
{
    RecordedMessages messages;
    Patcher().ProcessPackage(Item(bundle));
    return messages.Joined();
}


}  // namespace

TEST(ProcessPackage, AddsTheEntryOrReportsWhyNotLeavingTheFileIntact)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    enum class Outcome { Patched, Unchanged };
    enum class As { Root, Nobody, RootWithFailingRename };
    struct Case {
        const char* label;
        std::function<void(const fs::path& bundle)> make;
        As as;
        std::string messages;
        Outcome outcome;
    };
    auto infoPlist = [](std::string bytes, mode_t mode = 0644) {
        return [=](const fs::path& bundle) { WriteBytes(bundle / "Contents/Info.plist", bytes, mode); };
    };
    auto sample = [&](const char* name) { return infoPlist(TestData(std::string("patcher/") + name)); };
    auto ownedByNobody = [](const fs::path& path) { ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0); };

    const Case cases[] = {
        {"ordinary bundle", sample("ordinary-4k.plist"), As::Root, "", Outcome::Patched},
        {"group-writable file keeps its mode", infoPlist(TestData("patcher/ordinary-4k.plist"), 0664), As::Root, "", Outcome::Patched},
        {"NSUIElement string kept", sample("has-nsuielement-string.plist"), As::Root, "", Outcome::Patched},
        {"NSUIElement Boolean kept", infoPlist(Inline("<dict>\n\t<key>NSUIElement</key>\n\t<false/>\n</dict>")), As::Root, "", Outcome::Patched},
        {"NSUIElement integer kept", infoPlist(Inline("<dict>\n\t<key>NSUIElement</key>\n\t<integer>0</integer>\n</dict>")), As::Root, "", Outcome::Patched},
        {"empty dictionary", infoPlist(Inline("<dict/>")), As::Root, "", Outcome::Patched},
        {"binary Info.plist", sample("binary.plist"), As::Root, "", Outcome::Patched},
        {"long commented file", sample("big-with-comments.plist"), As::Root, "", Outcome::Patched},
        {"empty file", infoPlist(""), As::Root, "No plst resource in file Tool.app.\n", Outcome::Unchanged},
        {"no read permission", infoPlist("<plist/>", 0600), As::Nobody, kOpenFailed + "\n", Outcome::Unchanged},
        {"read-only file", infoPlist(Inline("<dict/>"), 0644), As::Nobody, kOpenFailed + "\n", Outcome::Unchanged},
        {"no Contents", [](auto& b) { WriteBytes(b / "Info.plist", Inline("<dict/>")); }, As::Root, "", Outcome::Unchanged},
        {"Contents without Info.plist", [](auto& b) { WriteBytes(b / "Contents/Other.plist", Inline("<dict/>")); }, As::Root, "", Outcome::Unchanged},
        {"Contents is a file", [](auto& b) { WriteBytes(b / "Contents", Inline("<dict/>")); }, As::Root, "", Outcome::Unchanged},
        {"Info.plist is a folder", [](auto& b) { fs::create_directories(b / "Contents/Info.plist"); }, As::Root, kOpenFailed + "\n", Outcome::Unchanged},
        {"linked Contents",
         [](auto& b) {
             WriteBytes(b.parent_path() / "outside/Info.plist", Inline("<dict/>"));
             fs::create_directories(b);
             fs::create_directory_symlink(b.parent_path() / "outside", b / "Contents");
         },
         As::Root, "", Outcome::Unchanged},
        {"linked Info.plist",
         [](auto& b) {
             WriteBytes(b.parent_path() / "outside.plist", Inline("<dict/>"));
             fs::create_directories(b / "Contents");
             fs::create_symlink(b.parent_path() / "outside.plist", b / "Contents/Info.plist");
         },
         As::Root, kOpenFailed + "\n", Outcome::Unchanged},
        {"unparseable text", sample("malformed-merge-conflict.plist"), As::Root, "", Outcome::Unchanged},
        {"binary garbage", infoPlist(std::string("\x00\x01\xFF garbage", 11)), As::Root, "", Outcome::Unchanged},
        {"array root", infoPlist(Inline("<array>\n\t<string>NSUIElement</string>\n</array>")), As::Root, "", Outcome::Unchanged},
        {"string root", infoPlist(Inline("<string>true</string>")), As::Root, "", Outcome::Unchanged},
        {"rename fails", sample("ordinary-4k.plist"), As::RootWithFailingRename, kWriteFailed + "\n", Outcome::Unchanged},
        {"Contents not writable",
         [&](auto& b) {
             sample("ordinary-4k.plist")(b);
             ownedByNobody(b / "Contents/Info.plist");
         },
         As::Nobody, kWriteFailed + "\n", Outcome::Unchanged},
        {"2 GiB Info.plist",
         [](auto& b) {
             WriteBytes(b / "Contents/Info.plist", "<?xml");
             ASSERT_EQ(::truncate((b / "Contents/Info.plist").c_str(), off_t(1) << 31), 0);
         },
         As::Root, kOpenFailed + "\n", Outcome::Unchanged},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        const fs::path bundle = temp / "Tool.app";
        c.make(bundle);
        const auto before = Snapshot(temp.Path());
        const std::string original = c.outcome == Outcome::Patched ? ReadBytes(bundle / "Contents/Info.plist") : "";
        const mode_t modeBefore = LinkStatus(bundle / "Contents/Info.plist").st_mode;

        std::string messages;
        if (c.as == As::Nobody) {
            messages = RunAsNobody([&] { return RunRoute(bundle); });
        } else {
            std::optional<FailingStep> failing;
            if (c.as == As::RootWithFailingRename) failing.emplace("rename");
            messages = RunRoute(bundle);
        }
        EXPECT_EQ(messages, c.messages) << c.label;

        auto after = Snapshot(temp.Path());
        if (c.outcome == Outcome::Patched) {
            const std::string written = ReadBytes(bundle / "Contents/Info.plist");
            EXPECT_EQ(written, Patched(original)) << c.label;
            EXPECT_EQ(written.substr(0, 5), "<?xml") << c.label;
            EXPECT_EQ(LinkStatus(bundle / "Contents/Info.plist").st_mode, modeBefore) << c.label;
            after.erase("Tool.app/Contents/Info.plist");
            EXPECT_EQ(after.size() + 1, before.size()) << c.label;
            for (const auto& [path, described] : after) EXPECT_EQ(described, before.at(path)) << c.label << " " << path;
        } else {
            EXPECT_EQ(after, before) << c.label;
        }
    }
}

TEST(ProcessPackage, KeepsEveryEntryAndAddsAStringValueOnlyWhenAbsent)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const struct {
        const char* sample;
        const char* valueXML;  // of NSUIElement afterwards
    } cases[] = {
        {"ordinary-4k.plist", "<string>true</string>"},
        {"binary.plist", "<string>true</string>"},
        {"has-nsuielement-string.plist", "<string>1</string>"},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        const std::string original = TestData(std::string("patcher/") + c.sample);
        WriteBytes(temp / "Tool.app/Contents/Info.plist", original);
        EXPECT_EQ(RunRoute(temp / "Tool.app"), "");

        auto before = std::dynamic_pointer_cast<CFDictionaryZorp>(plist::Parse(original).root);
        auto after = std::dynamic_pointer_cast<CFDictionaryZorp>(plist::Parse(ReadBytes(temp / "Tool.app/Contents/Info.plist")).root);
        ASSERT_TRUE(before && after) << c.sample;
        CFObjectZorpRef added = after->Find(std::string("NSUIElement"));
        ASSERT_TRUE(added) << c.sample;
        EXPECT_NE(plist::WriteXML(*added).value_or("").find(c.valueXML), std::string::npos) << c.sample;
        EXPECT_EQ(after->Count(), before->Count() + (before->Find(std::string("NSUIElement")) ? 0 : 1)) << c.sample;
        for (const CFDictionaryZorp::Entry& entry : before->Entries()) {
            CFObjectZorpRef kept = after->Find(*entry.key);
            ASSERT_TRUE(kept) << c.sample;
            EXPECT_EQ(plist::WriteXML(*kept), plist::WriteXML(*entry.value)) << c.sample;
        }
    }
}

TEST(ProcessPackage, RepeatsTheRewriteAndLeavesNoTail)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const struct {
        const char* sample;
        bool shrinks;
    } cases[] = {{"big-with-comments.plist", true}, {"ordinary-4k.plist", false}};
    for (const auto& c : cases) {
        TempFolder temp;
        const fs::path file = temp / "Tool.app/Contents/Info.plist";
        const std::string original = TestData(std::string("patcher/") + c.sample);
        WriteBytes(file, original);

        EXPECT_EQ(RunRoute(temp / "Tool.app"), "");
        const std::string first = ReadBytes(file);
        EXPECT_EQ(first.size() < original.size(), c.shrinks) << c.sample;
        EXPECT_EQ(first.substr(first.size() - 9), "</plist>\n") << c.sample;

        const ino_t firstInode = LinkStatus(file).st_ino;
        EXPECT_EQ(RunRoute(temp / "Tool.app"), "");
        EXPECT_EQ(ReadBytes(file), first) << c.sample;
        EXPECT_NE(LinkStatus(file).st_ino, firstInode) << c.sample << ": rewritten all the same";
        EXPECT_EQ(Listing(temp / "Tool.app/Contents"), std::vector<std::string>{"Info.plist"});
    }
}

TEST(ProcessPackage, NamesTheBundleAsAFileManagerShowsIt)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const struct {
        const char* bundle;
        const char* message;
    } cases[] = {
        {"Tool.app", "No plst resource in file Tool.app.\n"},
        {"Caf\xC3\xA9 Tool", "No plst resource in file Caf\xC3\xA9 Tool.\n"},
        {"Bad\xFF.app", "No plst resource in file Bad\xEF\xBF\xBD.app.\n"},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        WriteBytes(temp / c.bundle / "Contents/Info.plist", "");
        EXPECT_EQ(RunRoute(temp / c.bundle), c.message);
    }
}

TEST(ProcessPackage, ANilObjectRaisesAndNothingIsWritten)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    TempFolder temp;
    // A dictionary with an integer key can be read but has no XML form: XML gives nil.
    const std::string original = TestData("patcher/bin-int-key.plist");
    WriteBytes(temp / "Tool.app/Contents/Info.plist", original);
    const auto before = Snapshot(temp.Path());

    RecordedMessages messages;
    EXPECT_THROW(Patcher().ProcessPackage(Item(temp / "Tool.app")), NilObjectException);
    EXPECT_THROW(Patcher().ProcessPackage(nullptr), NilObjectException);
    EXPECT_TRUE(messages.Texts().empty());
    EXPECT_EQ(Snapshot(temp.Path()), before);
}
