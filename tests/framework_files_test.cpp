// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>

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

// The names a folder holds, for a look at what a bundle carries: never through a link.
TEST(FolderItem, TrueChildAndChildNamesNameOneEntryAndFollowNoLink)
{
    TempFolder temp;
    Lay(temp.Path(), {"Contents/Info.plist=x", "Contents/MacOS/Tool", "Contents/MacOS/libx.dylib",
                      "Contents/MacOS/.hidden", "Contents/Frameworks/", "Linked->Contents/MacOS", "file"});
    FolderItem bundle(temp.Path());
    for (const std::string name : {"", ".", "..", "Contents/Info.plist"})
        EXPECT_EQ(bundle.TrueChild(name), nullptr) << name;
    EXPECT_EQ(bundle.TrueChild(std::string("Con\0tents", 9)), nullptr);
    EXPECT_EQ(bundle.TrueChild("Missing")->Path(), temp / "Missing");
    EXPECT_TRUE(bundle.TrueChild("Contents")->TrueChild("Info.plist")->Exists());
    EXPECT_TRUE(FolderItem(temp.Path().string() + "/").Directory());
    const FolderItemRef contents = bundle.TrueChild("Contents");
    EXPECT_EQ(contents->TrueChild("MacOS")->ChildNames(),
              (std::vector<std::string>{".hidden", "Tool", "libx.dylib"}));
    EXPECT_EQ(contents->TrueChild("Frameworks")->ChildNames(), std::vector<std::string>{});
    for (const char* none : {"Linked", "file", "missing"})
        EXPECT_EQ(bundle.TrueChild(none)->ChildNames(), std::vector<std::string>{}) << none;
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

// The search climbs the real folders above the item and stops at the first on another device, of
// another owner or writable by others.
TEST(FolderItem, TheArchiveMirrorIsSoughtOnlyInTrustedRealFolders)
{
    const char *item = "top/Archive/Foo/App", *nearest = "top/Archive/Foo/__MACOSX/._App=TEXT";
    const struct {
        const char* label;
        const char* setUp;  // shell commands run in the folder before looking
        const char* type;
        std::vector<std::string> items{};  // laid out as Lay does, besides the archive and a mirror above
        const char* item = "top/Archive/Foo/App";
        bool asNobody = false;
        bool privateGroup = false;  // needs a user whose primary group is the user's own alone
    } cases[] = {
        {"a __MACOSX above, in our own folders", "", "APPL"},
        {"the archive's own __MACOSX, the nearest", "", "TEXT", {"top/Archive/__MACOSX/Foo/._App=TEXT"}},
        {"folders of the user running it", "chown -R 65534 top", "APPL", {}, item, true},
        {"above a folder of another user", "chown 65534 top/Archive", ""},
        {"the item's folder of another user", "chown 65534 top/Archive/Foo", "", {nearest}},
        {"above a folder writable by all", "chmod 0777 top/Archive", ""},
        {"above a sticky folder writable by all", "chmod 1777 top/Archive", ""},
        {"above a folder writable by a group not the user's own",
         "chgrp 65534 top/Archive && chmod 0775 top/Archive", ""},
        // As a umask of 002 leaves an unpacked archive, for a user whose primary group is the user's alone.
        {"in folders writable by the user's private group",
         "chmod -R g+w top",
         "APPL",
         {},
         item,
         false,
         true},
        {"above a sticky folder of that group",
         "chmod -R g+w top && chmod +t top/Archive",
         "",
         {},
         item,
         false,
         true},
        {"in a mirror writable by all", "chmod 0777 top/__MACOSX/Archive", ""},
        {"in a mirror of another user", "chown 65534 top/__MACOSX", ""},
        // Named through a link and "..": the real parent's mirror, not the one the name spells.
        {"\"..\" after a link",
         "",
         "APPL",
         {"z3/Foo/App", "z3/__MACOSX/Foo/._App=TEXT", "real/deep/x/", "real/deep/Foo/App",
          "real/__MACOSX/deep/Foo/._App=APPL", "z3/lnk->real/deep/x"},
         "z3/lnk/../Foo/App"},
    };
    const passwd* self = ::getpwuid(::geteuid());
    const group* primary = self ? ::getgrgid(self->pw_gid) : nullptr;
    const bool havePrivateGroup =
        primary && std::string(primary->gr_name) == self->pw_name &&
        (!primary->gr_mem[0] || (std::string(primary->gr_mem[0]) == self->pw_name && !primary->gr_mem[1]));
    int skipped = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.privateGroup && !havePrivateGroup) {
            ++skipped;
            continue;
        }
        TempFolder temp;
        Lay(temp.Path(), {"top/Archive/Foo/App", "top/__MACOSX/Archive/Foo/._App=APPL"});
        Lay(temp.Path(), c.items);
        const std::string setUp = std::string(c.setUp).empty() ? "" : std::string(" && ") + c.setUp;
        ASSERT_EQ(std::system(("cd " + temp.Path().string() + " && chmod -R go-w ." + setUp).c_str()), 0);
        auto look = [&] { return FolderItem(temp.Path().string() + "/" + c.item).MacType(); };
        EXPECT_EQ(c.asNobody ? RunAsNobody(look) : look(), c.type);
    }
    if (skipped) GTEST_SKIP() << skipped << " cases skipped: the user has no private group";
}

// On another file system the search stops: a tmpfs mounted in a mount namespace of a child's own.
TEST(FolderItem, TheArchiveMirrorIsNotSoughtOnAnotherDevice)
{
    TempFolder temp;
    Lay(temp.Path(), {"top/__MACOSX/mnt/Foo/._App=APPL", "top/mnt/"});
    const fs::path mount = temp / "top/mnt";
    Finished end = Child([&] {
                       if (::unshare(CLONE_NEWNS) != 0 ||
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                           ::mount("veilor-test", mount.c_str(), "tmpfs", 0, "mode=0755,size=1m") != 0)
                           return 3;
                       Lay(mount, {"Foo/App"});
                       std::string seen = FolderItem(mount / "Foo/App").MacType();
                       Lay(mount, {"Own/App", "__MACOSX/Own/._App=APPL"});
                       seen += "," + FolderItem(mount / "Own/App").MacType();
                       std::fputs(seen.c_str(), stdout);
                       return 0;
                   }).Wait();
    if (end.status == 3) GTEST_SKIP() << "1 case skipped: a tmpfs cannot be mounted here";
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.out, ",APPL");  // only the tmpfs's own __MACOSX
}

// Items are held by the thousand (a long drop, a batch): they keep no descriptor each.
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
// A FIFO is refused at once, not waited on for a writer.
TEST(FolderItem, OpenAsBinaryFileAndReadInPiecesOpenOnlyARegularFile)
{
    TempFolder temp;
    WriteBytes(temp / "f", "text");
    ASSERT_EQ(::mkfifo((temp / "p").c_str(), 0666), 0);
    EXPECT_EQ(FolderItem(temp / "p").OpenAsBinaryFile(false), nullptr);
    EXPECT_FALSE(FolderItem(temp / "p").ReadInPieces([](std::string_view) { return true; }));
    EXPECT_EQ(RunAsNobody([&] { return FolderItem(temp / "f").OpenAsBinaryFile(false)->Read(10); }), "text");
}

// An executable is opened under a larger limit than a property list, and taken whole, without a
// copy, as the rewrite that puts it back; the commit refuses only what exceeds its own limit.
TEST(BinaryStream, ALargerLimitOpensAnExecutableWhoseRewriteKeepsThatLimit)
{
    TempFolder temp;
    const std::string large(std::size_t(FolderItem::kMaxOpenLength) + 1, 'x');
    WriteBytes(temp / "Tool", large);
    const FolderItem tool(temp / "Tool");
    FileError error;
    EXPECT_EQ(tool.OpenAsBinaryFile(false, error), nullptr);
    EXPECT_EQ(error.Cause(), FileError({FileStep::Open, EFBIG}).Cause());
    BinaryStreamRef stream = tool.OpenAsBinaryFile(false, error, FolderItem::kMaxExecutableLength);
    ASSERT_NE(stream, nullptr);
    FileRewrite rewrite;
    ASSERT_FALSE(stream->TakeRewrite(rewrite));
    EXPECT_EQ(stream->Length(), 0);
    EXPECT_FALSE(stream->Changed());
    // Content that a write could not hold is never handed over as the file's new content.
    stream->SetPosition(BinaryStream::kMaxLength);
    stream->Write("x");
    FileRewrite none;
    EXPECT_EQ(stream->TakeRewrite(none).Cause(), FileError({FileStep::Write, EFBIG}).Cause());
    EXPECT_EQ(rewrite.openLimit, FolderItem::kMaxExecutableLength);
    ASSERT_EQ(rewrite.bytes.size(), large.size());
    rewrite.bytes.replace(0, 3, "new");
    EXPECT_FALSE(CommitRewrite(rewrite));
    EXPECT_EQ(ReadBytes(temp / "Tool").substr(0, 4), "newx");
    rewrite.openLimit = FolderItem::kMaxOpenLength;
    rewrite.read = IdentityAt(rewrite.folder.Get(), rewrite.name);
    EXPECT_EQ(CommitRewrite(std::move(rewrite)).Cause(), FileError({FileStep::Write, EFBIG}).Cause());
}

// The original stays and no temporary file is left.
TEST(BinaryStream, AFailedCommitSaysWhereAndWhyAndNothingIsWrittenOnRelease)
{
    const struct {
        const char* label;
        FileStep failingStep;  // through the seam, None for none
        // closedAsNobody: the folder made read-only after opening, by its owner nobody
        bool readWrite, closedAsNobody;
        std::string told;  // the first commit's step and cause, then the second's
    } cases[] = {
        {"create fails", FileStep::Create, true, false, "create Input/output error"},
        {"write fails", FileStep::Write, true, false, "write Input/output error"},
        {"flush fails", FileStep::Flush, true, false, "flush Input/output error"},
        {"rename fails", FileStep::Rename, true, false, "rename Input/output error"},
        {"stream opened for reading", FileStep::None, false, false, "write Bad file descriptor"},
        {"folder made read-only after opening", FileStep::None, true, true, "create Permission denied"},
        {"released without a commit", FileStep::None, true, false, ""},
    };
    auto described = [](const FileError& error) {
        static const char* const kSteps[] = {"none",  "open",   "create",  "write",  "metadata",
                                             "flush", "rename", "changed", "damaged"};
        return error ? kSteps[int(error.step)] + (" " + error.Cause()) : std::string();
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
            Installed<FileFaultHook> failing(SetFileFaultHook,
                                             [&](FileStep step) { return step != c.failingStep; });
            BinaryStreamRef stream = FolderItem(file).OpenAsBinaryFile(c.readWrite);
            if (!stream) return std::string("nil");
            if (c.closedAsNobody) ::chmod(file.parent_path().c_str(), 0555);
            stream->Write("replacement");
            return c.told.empty() ? std::string() : described(stream->Commit());
        };
        EXPECT_EQ(c.closedAsNobody ? RunAsNobody(run) : run(), c.told);
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
    EXPECT_FALSE(stream->Commit());

    EXPECT_EQ(ReadBytes(temp / "bundle/Moved/Info.plist"), "patched");
    EXPECT_EQ(ReadBytes(temp / "elsewhere/Info.plist"), "not ours");
}
