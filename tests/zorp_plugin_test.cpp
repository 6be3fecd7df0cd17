#include "file_fixtures.h"
#include "framework/nil_object.h"
#include "framework/zorp_plugin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

using namespace fixtures;

namespace {

const char* const kDeclarations[] = {
    "NewCFBinaryDataZorpStr(s as string) as CFBinaryDataZorp",
    "NewCFObjectZorpFromXML(XMLdata as CFBinaryDataZorp) as CFObjectZorp",
    "CFDictionaryZorp.Edit as CFMutableDictionaryZorp",
    "NewCFStringZorp(s as string) as CFStringZorp",
    "CFMutableDictionaryZorp.Add(key as CFObjectZorp,value as CFObjectZorp)",
    "CFObjectZorp.XML as CFBinaryDataZorp",
    "CFBinaryDataZorp.Str as String",
    "folderitem.FinderUpdateZorp as integer",
    "ZorpPluginVersion as string",
};

const char kDictionary[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleName</key>\n\t<string>Tool</string>\n</dict>\n</plist>\n";

}  // namespace

TEST(ZorpPlugin, EachDeclarationResolvesExactlyAsWritten)
{
    for (const char* declaration : kDeclarations)
        EXPECT_NE(RuntimeLookupPluginEntrypoint(declaration), nullptr) << declaration;

    const char* const unknown[] = {
        "",
        "NewCFStringZorp(s as String) as CFStringZorp",
        "CFMutableDictionaryZorp.Add(key as CFObjectZorp, value as CFObjectZorp)",
        "CFMutableDictionaryZorp.Set(key as CFObjectZorp,value as CFObjectZorp)",
        "folderitem.FinderUpdateZorp as Integer",
        "ZorpPluginVersion",
    };
    for (const char* declaration : unknown)
        EXPECT_EQ(RuntimeLookupPluginEntrypoint(declaration), nullptr) << declaration;

    EXPECT_EQ(BindZorpPlugin(), "");
}

TEST(ZorpPlugin, BoundOperationsParseEditAndSerialise)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    CFObjectZorpRef root = Zorp::NewCFObjectZorpFromXML(Zorp::NewCFBinaryDataZorpStr(kDictionary));
    auto dictionary = std::dynamic_pointer_cast<CFDictionaryZorp>(root);
    ASSERT_TRUE(dictionary);
    CFMutableDictionaryZorpRef editable = Zorp::Edit(dictionary);
    Zorp::Add(editable, Zorp::NewCFStringZorp("NSUIElement"), Zorp::NewCFStringZorp("true"));
    Zorp::Add(editable, Zorp::NewCFStringZorp("CFBundleName"), Zorp::NewCFStringZorp("Other"));
    std::string text = Zorp::Str(Zorp::XML(editable));

    EXPECT_NE(text.find("<key>NSUIElement</key>\n\t<string>true</string>"), std::string::npos) << text;
    EXPECT_NE(text.find("<string>Tool</string>"), std::string::npos) << text;
    EXPECT_EQ(text.find("Other"), std::string::npos) << text;
    EXPECT_EQ(dictionary->Count(), 1u);
    EXPECT_EQ(Zorp::NewCFObjectZorpFromXML(Zorp::NewCFBinaryDataZorpStr("not a list <<<")), nullptr);
    EXPECT_FALSE(Zorp::ZorpPluginVersion().empty());
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
        {"Add nil value", [&] { Zorp::Add(editable, key, nullptr); }},
        {"XML", [] { Zorp::XML(nullptr); }},
        {"Str", [] { Zorp::Str(nullptr); }},
        {"FinderUpdateZorp", [] { Zorp::FinderUpdateZorp(nullptr); }},
    };
    for (const auto& c : cases) EXPECT_THROW(c.use(), NilObjectException) << c.label;
    EXPECT_EQ(editable->Count(), 0u);
}

TEST(ZorpPlugin, FinderUpdateSetsTheModificationTimeOfTheItemItself)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        const char* label;
        std::function<fs::path(const TempFolder&)> make;
        bool asNobody;
        std::int64_t result;
        bool touched;
    };
    const Case cases[] = {
        {"file", [](auto& t) { WriteBytes(t / "f", "x"); return t / "f"; }, false, 0, true},
        {"folder", [](auto& t) { fs::create_directories(t / "Tool.app/Contents"); return t / "Tool.app"; }, false, 0, true},
        {"link", [](auto& t) { WriteBytes(t / "target", "x"); fs::create_symlink(t / "target", t / "l"); return t / "l"; }, false, 0, true},
        {"dangling link", [](auto& t) { fs::create_symlink(t / "gone", t / "l"); return t / "l"; }, false, 0, true},
        {"missing", [](auto& t) { return t / "missing"; }, false, ENOENT, false},
        {"not permitted", [](auto& t) { WriteBytes(t / "f", "x", 0644); return t / "f"; }, true, EACCES, false},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        fs::path path = c.make(temp);
        MakeOld(path);
        if (fs::exists(temp / "target")) MakeOld(temp / "target");
        auto item = std::make_shared<FolderItem>(path);
        auto update = [&] { return std::to_string(Zorp::FinderUpdateZorp(item)); };
        EXPECT_EQ(c.asNobody ? RunAsNobody(update) : update(), std::to_string(c.result)) << c.label;
        if (fs::exists(fs::symlink_status(path))) {
            EXPECT_EQ(ModifiedAt(path) > kOldTime, c.touched) << c.label;
        }
        if (fs::exists(temp / "target")) {
            EXPECT_EQ(ModifiedAt(temp / "target"), kOldTime) << c.label;
        }
    }
}
