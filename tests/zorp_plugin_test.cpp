// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace fixtures;

TEST(ZorpPlugin, ANilReceiverRaisesNilObjectException)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    auto key = Zorp::NewCFStringZorp("k");
    auto editable = std::make_shared<CFMutableDictionaryZorp>();
    const struct {
        const char* label;
        std::function<void()> use;
    } cases[] = {
        {"Edit", [] { Zorp::Edit(nullptr); }},
        {"Add to nil", [&] { Zorp::Add(nullptr, key, key); }},
        {"Add nil key", [&] { Zorp::Add(editable, nullptr, key); }},
        {"XML", [] { Zorp::XML(nullptr); }},
        {"FinderUpdateZorp", [] { Zorp::FinderUpdateZorp(nullptr); }},
    };
    for (const auto& c : cases) EXPECT_THROW(c.use(), NilObjectException) << c.label;
    EXPECT_EQ(editable->Count(), 0u);
}

// Bundles, patched or not, are refreshed through the route in process_test.
TEST(ZorpPlugin, FinderUpdateTouchesTheItemItselfOnlyWhenItsPropertyListIsNewer)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const struct {
        const char* label;
        std::vector<std::string> items;  // laid out as Lay does
        const char* item;
        const char* fresh;  // written after the item, as a patch does; "" for none
        bool asNobody;
        std::int64_t result;
        bool touched;
    } cases[] = {
        {"document", {"f"}, "f", "", false, 0, false},
        {"file with a newer companion", {"f", "._f=APPL"}, "f", "._f", false, 0, true},
        {"from a zip archive", {"A/f", "__MACOSX/A/._f=APPL"}, "A/f", "__MACOSX/A/._f", false, 0, true},
        {"plain folder", {"Plain/Contents/"}, "Plain", "Plain/Contents", false, 0, false},
        {"link", {"target", "l->target"}, "l", "target", false, 0, false},
        {"missing", {}, "missing", "", false, ENOENT, false},
        {"not permitted", {"f", "._f=APPL"}, "f", "._f", true, EACCES, false},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        Lay(temp.Path(), c.items);
        const fs::path path = temp / c.item;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp.Path()))
            MakeOld(entry.path());
        if (*c.fresh) ::utimensat(AT_FDCWD, (temp / c.fresh).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        auto item = std::make_shared<FolderItem>(path);
        auto update = [&] { return std::to_string(Zorp::FinderUpdateZorp(item)); };
        EXPECT_EQ(c.asNobody ? RunAsNobody(update) : update(), std::to_string(c.result)) << c.label;
        if (fs::exists(fs::symlink_status(path))) {
            EXPECT_EQ(ModifiedAt(path) > kOldTime, c.touched) << c.label;
        }
    }
}
