// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

using namespace fixtures;

TEST(FolderItem, DisplayNameIsTheLastComponentAsValidText)
{
    const struct {
        const char* path;
        const char* shown;
    } cases[] = {
        {"/Applications/Tool.app/", "Tool.app"},
        {"/", "/"},
        {"/x/\xE7\xA7\x91\xE6\x8A\x80.app", "\xE7\xA7\x91\xE6\x8A\x80.app"},
        {"/x/Bad\xFF.app", "Bad\xEF\xBF\xBD.app"},
        {"/x/Overlong\xC0\xAF", "Overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"/x/Surrogate\xED\xA0\x80", "Surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(FolderItem(c.path).DisplayName(), c.shown) << c.path;
}

TEST(FolderItem, TrueChildNamesOneEntryAndFollowsNoLink)
{
    TempFolder temp;
    WriteBytes(temp / "bundle/Contents/Info.plist", "x");
    FolderItem bundle(temp / "bundle");
    for (const std::string name : {"", ".", "..", "Contents/Info.plist"})
        EXPECT_EQ(bundle.TrueChild(name), nullptr) << name;
    EXPECT_EQ(bundle.TrueChild(std::string("Con\0tents", 9)), nullptr);
    EXPECT_EQ(bundle.TrueChild("Missing")->Path(), temp / "bundle/Missing");
    EXPECT_TRUE(bundle.TrueChild("Contents")->TrueChild("Info.plist")->Exists());
    EXPECT_TRUE(FolderItem((temp / "bundle").string() + "/").Directory());
}

// Only what is known to be absent is absent; what cannot be looked at is there, and its type unknown.
TEST(FolderItem, AnItemThatCannotBeLookedAtIsNotTakenForAbsent)
{
    TempFolder temp;
    Lay(temp.Path(),
        {"open/doc", "open/app", "open/._app=APPL", "closed/app", "closed/._app=APPL", "locked/app",
         "locked/._app=APPL", "odd/linked", "odd/._linked->open/._app", "odd/folder", "odd/._folder/"});
    ::chmod((temp / "closed").c_str(), 0700);
    ::chmod((temp / "locked/._app").c_str(), 0600);
    const struct {
        const char* path;
        const char* seen;  // as nobody: "exists type", type "?" when it could not be looked at
    } cases[] = {
        {"open/app", "1 APPL"}, {"open/doc", "1 "},     {"open/missing", "0 "},
        {"missing/app", "0 "},  {"open/doc/app", "0 "}, {"closed/app", "1 ?"},
        {"locked/app", "1 ?"},  {"odd/linked", "1 "},   {"odd/folder", "1 "},
    };
    for (const auto& c : cases) {
        const std::string seen = RunAsNobody([&] {
            FolderItem item(temp / c.path);
            const std::optional<std::string> type = item.LookUpMacType();
            return std::string(item.Exists() ? "1 " : "0 ") + type.value_or("?");
        });
        EXPECT_EQ(seen, c.seen) << c.path;
    }
}

// Items are held by the thousand (a long drop, a batch): they share the folders they open, and
// keep no descriptor each.
TEST(FolderItem, ManyItemsHeldKeepFewDescriptorsOpen)
{
    TempFolder temp;
    const auto openNow = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = openNow();
    std::vector<FolderItemRef> held;
    for (int i = 0; i < 300; ++i) {
        const fs::path bundle = temp / ("A" + std::to_string(i) + ".app");
        WriteBytes(bundle / "Contents/Info.plist", "x");
        held.push_back(std::make_shared<FolderItem>(bundle));
        ASSERT_TRUE(held.back()->BundleInfoPlist()->OpenAsBinaryFile(false));
    }
    EXPECT_LE(openNow(), before + 20);
}

// A link, a folder, a file of another user and one past the size limit are the routes' tests' concern.
TEST(FolderItem, OpenAsBinaryFileOpensOnlyARegularFile)
{
    TempFolder temp;
    WriteBytes(temp / "f", "text");
    ASSERT_EQ(::mkfifo((temp / "p").c_str(), 0666), 0);
    EXPECT_EQ(FolderItem(temp / "p").OpenAsBinaryFile(false), nullptr);
    EXPECT_EQ(RunAsNobody([&] { return FolderItem(temp / "f").OpenAsBinaryFile(false)->Read(10); }), "text");
}

// Every step of the replacement may fail; the original stays, no temporary file is left, and the
// stream commits nothing later.
TEST(BinaryStream, AFailedCommitIsReportedAndNothingIsWrittenLater)
{
    const struct {
        const char* label;
        const char* failingStep;  // through the seam, "" for none
        // closedAsNobody: the folder made read-only after opening, by its owner nobody
        bool readWrite, closedAsNobody;
    } cases[] = {
        {"create fails", "create", true, false},
        {"write fails", "write", true, false},
        {"flush fails", "fsync", true, false},
        {"rename fails", "rename", true, false},
        {"stream opened for reading", "", false, false},
        {"folder made read-only after opening", "", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        const fs::path file = temp / "Contents/Info.plist";
        WriteBytes(file, "original");
        if (c.closedAsNobody) {
            ASSERT_EQ(::chown(file.parent_path().c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        auto run = [&] {
            Installed<AtomicFileFaultHook> failing(
                SetAtomicFileFaultHook, [&](std::string_view step) { return step != c.failingStep; });
            BinaryStreamRef stream = FolderItem(file).OpenAsBinaryFile(c.readWrite);
            if (!stream) return std::string("nil");
            if (c.closedAsNobody) ::chmod(file.parent_path().c_str(), 0555);
            stream->Write("replacement");
            const std::string first = stream->Commit() ? "committed" : "failed";
            return first + (stream->Commit() ? " committed" : " failed");
        };
        EXPECT_EQ(c.closedAsNobody ? RunAsNobody(run) : run(), "failed failed");
        EXPECT_EQ(ReadBytes(file), "original");
        EXPECT_EQ(Listing(file.parent_path()), std::vector<std::string>{"Info.plist"});
    }
}

TEST(BinaryStream, CommitsIntoTheFolderItOpenedEvenIfALinkTakesItsPlace)
{
    TempFolder temp;
    WriteBytes(temp / "bundle/Contents/Info.plist", "original");
    WriteBytes(temp / "elsewhere/Info.plist", "not ours");
    BinaryStreamRef stream =
        FolderItem(temp / "bundle").TrueChild("Contents")->TrueChild("Info.plist")->OpenAsBinaryFile(true);
    ASSERT_TRUE(stream);

    fs::rename(temp / "bundle/Contents", temp / "bundle/Moved");
    fs::create_directory_symlink(temp / "elsewhere", temp / "bundle/Contents");
    stream->Write("patched");
    stream->SetLength(stream->Position());
    EXPECT_TRUE(stream->Commit());

    EXPECT_EQ(ReadBytes(temp / "bundle/Moved/Info.plist"), "patched");
    EXPECT_EQ(ReadBytes(temp / "elsewhere/Info.plist"), "not ours");
}
