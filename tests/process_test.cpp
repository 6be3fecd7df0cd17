// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "patcher/patcher.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

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

const char kPlist[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                      "\t<key>CFBundleName</key>\n\t<string>Tool</string>\n</dict>\n</plist>\n";

}  // namespace

// Process takes the package route for folders and the resource route for everything else, then
// refreshes the item; an exception passes out, with nothing written and no refresh.
TEST(Process, RoutesByDirectoryAndThenRefreshesAChangedItem)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string info = "Tool.app/Contents/Info.plist=", bundle = info + kPlist,
                      intKey = info + TestData("patcher/bin-int-key.plist");
    const struct {
        const char* label;
        std::vector<std::string> items;  // laid out as Lay does
        const char* item;
        std::string routes;
        std::optional<std::string> messages;  // the resource-fork route's own are not looked at here
        bool patched;                         // Tool.app/Contents/Info.plist gained the entry
        bool raises = false;                  // the route's own fault
        bool thrown = false;
    } cases[] = {
        {"application bundle", {bundle}, "Tool.app", "package ", "", true},
        {"empty Info.plist", {info}, "Tool.app", "package ", "No plst resource in file Tool.app.\n", false},
        {"folder that is not a bundle", {"Plain/Sub/"}, "Plain", "package ", "", false},
        {"single-file application", {"Single", "._Single=APPL"}, "Single", "res ", std::nullopt, false},
        {"plain document", {"notes.txt"}, "notes.txt", "res ", std::nullopt, false},
        {"link to a bundle", {bundle, "Link.app->Tool.app"}, "Link.app", "res ", std::nullopt, false},
        {"bundle route raises", {bundle}, "Tool.app", "package ", "", false, true, true},
        {"XML of the edited dictionary is nil", {intKey}, "Tool.app", "package ", "", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        Lay(temp.Path(), c.items);
        const std::string plist = ReadBytes(temp / "Tool.app/Contents/Info.plist");
        const fs::path item = temp / c.item;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp.Path()))
            MakeOld(entry.path());

        RecordingPatcher patcher;
        patcher.raiseInRoute = c.raises;
        RecordedMessages messages;
        if (c.thrown) {
            EXPECT_THROW(patcher.Process(std::make_shared<FolderItem>(item)), NilObjectException);
            EXPECT_EQ(ReadBytes(temp / "Tool.app/Contents/Info.plist"), plist);
        } else {
            patcher.Process(std::make_shared<FolderItem>(item));
        }
        EXPECT_EQ(patcher.routes, c.routes);
        EXPECT_EQ(messages.Joined(), c.messages.value_or(messages.Joined()));
        // Refreshed only when its property list changed.
        EXPECT_EQ(ModifiedAt(item) > kOldTime, c.patched);
        EXPECT_EQ(ReadBytes(temp / "Tool.app/Contents/Info.plist").find("NSUIElement") != std::string::npos,
                  c.patched);
    }
    RecordingPatcher patcher;
    EXPECT_THROW(patcher.Process(nullptr), NilObjectException);
    EXPECT_EQ(patcher.routes, "");
}
