// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "framework/nil_object.h"
#include "framework/zorp_plugin.h"
#include "patcher/patcher.h"

#include <gtest/gtest.h>

using namespace fixtures;

namespace {

// The real routes, with a note of which one ran and an optional fault of its own.
class RecordingPatcher : public Patcher {
public:
    void ProcessPackage(const FolderItemRef& item) override
    {
        routes += "package ";
        if (raiseInRoute) throw NilObjectException();
        Patcher::ProcessPackage(item);
    }
    void ProcessRes(const FolderItemRef& item) override
    {
        routes += "res ";
        if (raiseInRoute) throw NilObjectException();
        Patcher::ProcessRes(item);
    }

    std::string routes;
    bool raiseInRoute = false;
};

const char kPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleName</key>\n\t<string>Tool</string>\n</dict>\n</plist>\n";

}  // namespace

TEST(Process, RoutesByDirectoryAndThenRefreshesAChangedItem)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        const char* label;
        std::function<void(const TempFolder&)> make;
        const char* item;
        std::string routes;
        std::optional<std::string> messages;  // the resource-fork route's own are not looked at here
        bool patched;                          // Tool.app/Contents/Info.plist gained the entry
        bool refreshed;                        // the item's modification time moved
    };
    auto bundle = [](const TempFolder& t) { WriteBytes(t / "Tool.app/Contents/Info.plist", kPlist); };
    const Case cases[] = {
        {"application bundle", bundle, "Tool.app", "package ", "", true, true},
        {"bundle with empty Info.plist", [](auto& t) { WriteBytes(t / "Tool.app/Contents/Info.plist", ""); },
         "Tool.app", "package ", "No plst resource in file Tool.app.\n", false, false},
        {"folder that is not a bundle", [](auto& t) { fs::create_directories(t / "Plain/Sub"); }, "Plain", "package ", "", false, false},
        {"single-file application",
         [](auto& t) { WriteBytes(t / "Single", "code"); WriteBytes(t / "._Single", FinderInfoCompanion("APPL", "????")); },
         "Single", "res ", std::nullopt, false, false},
        {"plain document", [](auto& t) { WriteBytes(t / "notes.txt", "text"); }, "notes.txt", "res ", std::nullopt, false, false},
        {"link to a bundle",
         [&](auto& t) { bundle(t); fs::create_directory_symlink(t / "Tool.app", t / "Link.app"); },
         "Link.app", "res ", std::nullopt, false, false},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        c.make(temp);
        const fs::path item = temp / c.item;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp.Path())) MakeOld(entry.path());

        RecordingPatcher patcher;
        RecordedMessages messages;
        patcher.Process(std::make_shared<FolderItem>(item));

        EXPECT_EQ(patcher.routes, c.routes) << c.label;
        if (c.messages) {
            EXPECT_EQ(messages.Joined(), *c.messages) << c.label;
        }
        if (fs::exists(fs::symlink_status(item))) {
            EXPECT_EQ(ModifiedAt(item) > kOldTime, c.refreshed) << c.label;
        }
        bool patched = ReadBytes(temp / "Tool.app/Contents/Info.plist").find("NSUIElement") != std::string::npos;
        EXPECT_EQ(patched, c.patched) << c.label;
    }
}

TEST(Process, AnExceptionPassesOutAndSkipsTheRefresh)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        const char* label;
        std::function<void(const TempFolder&)> make;
        const char* item;
        bool raiseInRoute;
        std::string routes;
    };
    const Case cases[] = {
        {"bundle route raises", [](auto& t) { WriteBytes(t / "Tool.app/Contents/Info.plist", kPlist); }, "Tool.app", true, "package "},
        {"XML of the edited dictionary is nil",
         [](auto& t) { WriteBytes(t / "Tool.app/Contents/Info.plist", TestData("patcher/bin-int-key.plist")); },
         "Tool.app", false, "package "},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        c.make(temp);
        MakeOld(temp / c.item);
        const std::string original = ReadBytes(temp / "Tool.app/Contents/Info.plist");
        RecordingPatcher patcher;
        patcher.raiseInRoute = c.raiseInRoute;
        RecordedMessages messages;
        EXPECT_THROW(patcher.Process(std::make_shared<FolderItem>(temp / c.item)), NilObjectException) << c.label;
        EXPECT_EQ(patcher.routes, c.routes) << c.label;
        EXPECT_EQ(ModifiedAt(temp / c.item), kOldTime) << c.label << ": not refreshed";
        EXPECT_EQ(messages.Joined(), "") << c.label;
        EXPECT_EQ(ReadBytes(temp / "Tool.app/Contents/Info.plist"), original) << c.label << ": nothing written";
    }

    RecordingPatcher patcher;
    EXPECT_THROW(patcher.Process(nullptr), NilObjectException);
    EXPECT_EQ(patcher.routes, "");
}
