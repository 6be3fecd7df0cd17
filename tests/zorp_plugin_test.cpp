// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace fixtures;

// Lookups match the declaration exactly: a near miss resolves to nothing.
TEST(ZorpPlugin, ANearMissOfADeclarationResolvesToNothing)
{
    for (const char* declaration : {"NewCFStringZorp(s as String) as CFStringZorp",
                                    "CFMutableDictionaryZorp.Set(key as CFObjectZorp,value as CFObjectZorp)",
                                    "folderitem.FinderUpdateZorp as Integer"})
        EXPECT_EQ(RuntimeLookupPluginEntrypoint(declaration), nullptr) << declaration;
    EXPECT_EQ(BindZorpPlugin(), "");
}

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
    const std::string companion = FinderInfoCompanion("APPL", "????");
    struct Case {
        const char* label;
        std::function<fs::path(const TempFolder&)> make;
        std::vector<std::string> fresh;  // written after the item, as a patch does
        bool asNobody;
        std::int64_t result;
        bool touched;
    };
    const Case cases[] = {
        {"document",
         [](auto& t) {
             WriteBytes(t / "f", "x");
             return t / "f";
         },
         {},
         false,
         0,
         false},
        {"file with a newer companion",
         [&](auto& t) {
             WriteBytes(t / "f", "x");
             WriteBytes(t / "._f", companion);
             return t / "f";
         },
         {"._f"},
         false,
         0,
         true},
        {"file with a newer companion from a zip archive",
         [&](auto& t) {
             WriteBytes(t / "Foo/f", "x");
             WriteBytes(t / "__MACOSX/Foo/._f", companion);
             return t / "Foo/f";
         },
         {"__MACOSX/Foo/._f"},
         false,
         0,
         true},
        {"plain folder",
         [](auto& t) {
             fs::create_directories(t / "Plain/Contents");
             return t / "Plain";
         },
         {"Plain/Contents"},
         false,
         0,
         false},
        {"link",
         [](auto& t) {
             WriteBytes(t / "target", "x");
             fs::create_symlink(t / "target", t / "l");
             return t / "l";
         },
         {"target"},
         false,
         0,
         false},
        {"missing", [](auto& t) { return t / "missing"; }, {}, false, ENOENT, false},
        {"not permitted",
         [&](auto& t) {
             WriteBytes(t / "f", "x", 0644);
             WriteBytes(t / "._f", companion);
             return t / "f";
         },
         {"._f"},
         true,
         EACCES,
         false},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        fs::path path = c.make(temp);
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp.Path()))
            MakeOld(entry.path());
        for (const std::string& fresh : c.fresh)
            ::utimensat(AT_FDCWD, (temp / fresh).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        auto item = std::make_shared<FolderItem>(path);
        auto update = [&] { return std::to_string(Zorp::FinderUpdateZorp(item)); };
        EXPECT_EQ(c.asNobody ? RunAsNobody(update) : update(), std::to_string(c.result)) << c.label;
        if (fs::exists(fs::symlink_status(path))) {
            EXPECT_EQ(ModifiedAt(path) > kOldTime, c.touched) << c.label;
        }
    }
}
