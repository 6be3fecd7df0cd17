// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/file_type_registry.h"

#include <gtest/gtest.h>

using namespace fixtures;

TEST(FileTypeRegistry, MatchesRealFoldersAndFilesByTypeName)
{
    TempFolder temp;
    Lay(temp.Path(), {"Tool.app/", "Upper.APP/", "Bundle/Contents/Info.plist", "NoPlist/Contents/", "Plain/",
                      "Link.app->Tool.app", "Single", "._Single=APPL", "Notes", "._Notes=TEXT", "notes.txt",
                      "Fake.app", "Map", "._Map=rsrc"});

    ResetFileTypeRegistry();
    RuntimeRegisterFileType("special/application", "????", "APPL", "");
    RuntimeRegisterFileType("special/folder", "????", "fold", "");
    RuntimeRegisterFileType("text", "R*ch", "TEXT", ".txt;md");
    RuntimeRegisterFileType("resource", "RSED", "rsrc", "");

    const struct {
        const char* typeNames;
        const char* item;
        bool matches;
    } cases[] = {
        {"special/application", "Tool.app", true},
        {"special/application", "Upper.APP", true},
        {"special/application", "Bundle", true},
        {"special/application", "NoPlist", false},
        {"special/application", "Link.app", false},
        {"special/application", "Single", true},
        {"special/application", "Fake.app", false},
        {"special/folder", "Plain", true},
        {"text", "Notes", true},
        {"text", "notes.txt", true},
        {"resource", "Map", true},
        {"text;special/application", "Single", true},
        {"special/unknown", "Tool.app", false},
        {"", "Tool.app", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileTypeMatches(c.typeNames, FolderItem(temp / c.item)), c.matches)
            << c.typeNames << " / " << c.item;

    RuntimeDeregisterFileType("special/application");
    EXPECT_FALSE(FileTypeMatches("special/application", FolderItem(temp / "Tool.app")));
}
