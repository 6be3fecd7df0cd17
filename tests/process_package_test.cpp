// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "framework/zorp_plugin.h"
#include "patcher/patcher.h"
#include "plist/plist.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace fixtures;

namespace {

const std::string kOpenFailed = "Failed to open info.plist file.\n";
const std::string kWriteFailed = "Failed to write info.plist file.\n";
// An invalid byte in the name, so the message shows the name as a file manager does.
const std::string kBundle = "Tool\xFF.app";

std::string Inline(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

CFDictionaryZorpRef Dictionary(const std::string& text)
{
    return std::dynamic_pointer_cast<CFDictionaryZorp>(plist::Parse(text).root);
}

// Every item below the folder: kind, mode and content.
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> items;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info = LinkStatus(entry.path());
        std::string described = std::to_string(info.st_mode) + " ";
        if (S_ISLNK(info.st_mode)) described += "-> " + fs::read_symlink(entry.path()).string();
        if (S_ISREG(info.st_mode)) described += ReadBytes(entry.path());
        items[fs::relative(entry.path(), folder).string()] = described;
    }
    return items;
}

std::string RunRoute(const fs::path& bundle)
{
    RecordedMessages messages;
    Patcher().ProcessPackage(std::make_shared<FolderItem>(bundle));
    return messages.Joined();
}

}  // namespace

TEST(ProcessPackage, AddsTheEntryOrReportsWhyNotLeavingTheFileIntact)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    enum class As { Root, Nobody, RootWithFailingRename };
    struct Case {
        const char* label;
        std::function<void(const fs::path& bundle)> make;
        As as;
        std::string messages;
        bool patched;
    };
    auto infoPlist = [](std::string bytes, mode_t mode = 0644) {
        return [=](const fs::path& bundle) { WriteBytes(bundle / "Contents/Info.plist", bytes, mode); };
    };
    auto sample = [&](const char* name) { return infoPlist(TestData(std::string("patcher/") + name)); };
    auto outside = [](const fs::path& bundle, const char* link, const char* target) {
        WriteBytes(bundle.parent_path() / "outside/Info.plist", Inline("<dict/>"));
        fs::create_directories(bundle / "Contents");
        fs::remove(bundle / link);
        fs::create_symlink(bundle.parent_path() / target, bundle / link);
    };

    const Case cases[] = {
        {"ordinary bundle", sample("ordinary-4k.plist"), As::Root, "", true},
        {"NSUIElement string kept", sample("has-nsuielement-string.plist"), As::Root, "", true},
        {"NSUIElement Boolean kept", infoPlist(Inline("<dict>\n\t<key>NSUIElement</key>\n\t<false/>\n</dict>")), As::Root, "", true},
        {"NSUIElement integer kept", infoPlist(Inline("<dict>\n\t<key>NSUIElement</key>\n\t<integer>0</integer>\n</dict>")), As::Root, "", true},
        {"binary Info.plist comes back as XML", sample("binary.plist"), As::Root, "", true},
        {"long commented file: a shorter text, no tail", sample("big-with-comments.plist"), As::Root, "", true},
        {"empty file", infoPlist(""), As::Root, "No plst resource in file Tool\xEF\xBF\xBD.app.\n", false},
        {"no read permission", infoPlist("<plist/>", 0600), As::Nobody, kOpenFailed, false},
        {"read-only file", infoPlist(Inline("<dict/>"), 0644), As::Nobody, kOpenFailed, false},
        {"no Contents", [](auto& b) { WriteBytes(b / "Info.plist", Inline("<dict/>")); }, As::Root, "", false},
        {"Contents without Info.plist", [](auto& b) { WriteBytes(b / "Contents/Other.plist", Inline("<dict/>")); }, As::Root, "", false},
        {"Info.plist is a folder", [](auto& b) { fs::create_directories(b / "Contents/Info.plist"); }, As::Root, kOpenFailed, false},
        {"linked Contents", [&](auto& b) { outside(b, "Contents", "outside"); }, As::Root, "", false},
        {"linked Info.plist", [&](auto& b) { outside(b, "Contents/Info.plist", "outside/Info.plist"); }, As::Root, kOpenFailed, false},
        {"unparseable text", sample("malformed-merge-conflict.plist"), As::Root, "", false},
        {"array root", infoPlist(Inline("<array>\n\t<string>NSUIElement</string>\n</array>")), As::Root, "", false},
        {"rename fails", sample("ordinary-4k.plist"), As::RootWithFailingRename, kWriteFailed, false},
        {"Contents not writable",
         [&](auto& b) {
             sample("ordinary-4k.plist")(b);
             ASSERT_EQ(::chown((b / "Contents/Info.plist").c_str(), kNobody, kNobody), 0);
         },
         As::Nobody, kWriteFailed, false},
        // Whether there is an Info.plist cannot be seen, which is no reason to keep silent.
        {"Contents not searchable",
         [&](auto& b) { sample("ordinary-4k.plist")(b); fs::permissions(b / "Contents", fs::perms(0700)); },
         As::Nobody, kOpenFailed, false},
        {"bundle not searchable",
         [&](auto& b) { sample("ordinary-4k.plist")(b); fs::permissions(b, fs::perms(0700)); },
         As::Nobody, kOpenFailed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        const fs::path bundle = temp / kBundle;
        const fs::path file = bundle / "Contents/Info.plist";
        c.make(bundle);
        const auto before = Snapshot(temp.Path());
        const std::string original = ReadBytes(file);
        const struct stat statusBefore = LinkStatus(file);

        std::string messages;
        if (c.as == As::Nobody) {
            messages = RunAsNobody([&] { return RunRoute(bundle); });
        } else {
            std::optional<FailingStep> failing;
            if (c.as == As::RootWithFailingRename) failing.emplace("rename");
            messages = RunRoute(bundle);
        }
        EXPECT_EQ(messages, c.messages);

        auto after = Snapshot(temp.Path());
        if (!c.patched) {
            EXPECT_EQ(after, before);
            continue;
        }
        // Byte for byte what the library writes, parsed back with every entry kept, and a new file.
        const std::string written = ReadBytes(file);
        CFDictionaryZorpRef was = Dictionary(original);
        ASSERT_TRUE(was);
        CFMutableDictionaryZorpRef expected = was->Edit();
        expected->Add(std::make_shared<CFStringZorp>("NSUIElement"), std::make_shared<CFStringZorp>("true"));
        EXPECT_EQ(written, plist::WriteXML(*expected).value_or("<not writable>"));
        EXPECT_EQ(written.substr(0, 5), "<?xml");
        CFDictionaryZorpRef now = Dictionary(written);
        ASSERT_TRUE(now);
        EXPECT_EQ(now->Count(), expected->Count());
        for (const CFDictionaryZorp::Entry& entry : expected->Entries()) {
            CFObjectZorpRef kept = now->Find(*entry.key);
            ASSERT_TRUE(kept);
            EXPECT_EQ(plist::WriteXML(*kept), plist::WriteXML(*entry.value));
        }
        EXPECT_EQ(LinkStatus(file).st_mode, statusBefore.st_mode);
        EXPECT_NE(LinkStatus(file).st_ino, statusBefore.st_ino);
        after.erase(kBundle + "/Contents/Info.plist");
        EXPECT_EQ(after.size() + 1, before.size());
        for (const auto& [path, described] : after) EXPECT_EQ(described, before.at(path)) << path;
    }
}
