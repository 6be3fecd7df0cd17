// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/framework/atomic_file.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

using namespace fixtures;

namespace {

std::string Opened(const FolderItemRef& item, bool readWrite)
{
    BinaryStreamRef stream = item->OpenAsBinaryFile(readWrite);
    return stream ? "open " + stream->Read(stream->Length()) : "nil";
}

FolderItemRef Item(const fs::path& path)
{
    return std::make_shared<FolderItem>(path);
}

}  // namespace

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

TEST(FolderItem, OpenAsBinaryFileOpensOnlyARegularFileItMayWrite)
{
    struct Case {
        const char* label;
        std::function<fs::path(const TempFolder&)> make;
        bool asNobody;
        bool readWrite;
        std::string expected;
    };
    auto plain = [](const char* bytes, mode_t mode, bool ownedByNobody) {
        return [=](const TempFolder& t) {
            WriteBytes(t / "f", std::string_view(bytes), mode);
            if (ownedByNobody) (void)::chown((t / "f").c_str(), kNobody, kNobody);
            return t / "f";
        };
    };
    const Case cases[] = {
        {"regular file", plain("abc", 0644, false), false, true, "open abc"},
        {"dangling link",
         [](auto& t) {
             fs::create_symlink(t / "gone", t / "l");
             return t / "l";
         },
         false, true, "nil"},
        {"fifo",
         [](auto& t) {
             ::mkfifo((t / "p").c_str(), 0666);
             return t / "p";
         },
         false, false, "nil"},
        {"read-only for reading", plain("text", 0644, false), true, false, "open text"},
        {"own writable file", plain("mine", 0600, true), true, true, "open mine"},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        FolderItemRef item = Item(c.make(temp));
        std::string outcome =
            c.asNobody ? RunAsNobody([&] { return Opened(item, c.readWrite); }) : Opened(item, c.readWrite);
        EXPECT_EQ(outcome, c.expected) << c.label;
    }
    // The child of a linked folder is not reached through the link.
    TempFolder temp;
    WriteBytes(temp / "outside/Info.plist", "outside");
    fs::create_directories(temp / "bundle");
    fs::create_directory_symlink(temp / "outside", temp / "bundle/Contents");
    EXPECT_EQ(Opened(FolderItem(temp / "bundle").TrueChild("Contents")->TrueChild("Info.plist"), false),
              "nil");
}

// A 32-bit count cannot take these whole, so they are not opened and never written back short.
TEST(FolderItem, AFileTooLongForOneReadIsNotOpened)
{
    TempFolder temp;
    for (off_t length : {off_t(1) << 31, (off_t(1) << 32) + 5}) {
        WriteBytes(temp / "big", "");
        ASSERT_EQ(::truncate((temp / "big").c_str(), length), 0);  // sparse: no disk used
        EXPECT_EQ(FolderItem(temp / "big").OpenAsBinaryFile(true), nullptr) << length;
        EXPECT_EQ(fs::file_size(temp / "big"), std::uintmax_t(length));
    }
}

TEST(BinaryStream, EditsInMemoryAreCommittedOnRelease)
{
    struct Case {
        const char* label;
        std::string original;
        std::function<std::string(BinaryStream&)> edit;  // returns what it read
        std::string read;
        std::string file;
    };
    const Case cases[] = {
        {"read in parts", "abcdef",
         [](BinaryStream& s) {
             std::string first = s.Read(2);
             std::string rest = s.Read(10);
             std::string beyond = s.Read(1) + s.Read(0);
             return first + "|" + rest + "|" + beyond + s.Read(-4) + "|" + std::to_string(s.Position());
         },
         "ab|cdef||6", "abcdef"},
        {"write past the end fills zeros", "ab",
         [](BinaryStream& s) {
             s.SetPosition(4);
             s.Write("z");
             return std::to_string(s.Length());
         },
         "5", std::string("ab\0\0z", 5)},
        {"same length changes nothing", "ab",
         [](BinaryStream& s) {
             s.SetLength(2);
             s.Write("");
             return std::string();
         },
         "", "ab"},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        WriteBytes(temp / "f", c.original);
        ino_t before = LinkStatus(temp / "f").st_ino;
        {
            BinaryStreamRef stream = FolderItem(temp / "f").OpenAsBinaryFile(true);
            ASSERT_TRUE(stream) << c.label;
            EXPECT_EQ(c.edit(*stream), c.read) << c.label;
            EXPECT_EQ(ReadBytes(temp / "f"), c.original) << c.label << ": written before release";
        }
        EXPECT_EQ(ReadBytes(temp / "f"), c.file) << c.label;
        EXPECT_EQ(LinkStatus(temp / "f").st_ino != before, c.file != c.original)
            << c.label << ": rewritten only when changed";
        EXPECT_EQ(Listing(temp.Path()), std::vector<std::string>{"f"}) << c.label;
    }
}

// Mode, owner and what else a replacement keeps are the routes' tests' concern (Rewrite); a new file
// takes the usual mode.
TEST(AtomicReplace, CreatesANewFileWithTheUsualModeAndNoTemporaryLeft)
{
    TempFolder temp;
    ::umask(022);
    EXPECT_TRUE(ReplaceFileAtomically(temp / "new", "created"));
    EXPECT_EQ(ReadBytes(temp / "new"), "created");
    EXPECT_EQ(LinkStatus(temp / "new").st_mode & 07777, 0644u);
    EXPECT_EQ(Listing(temp.Path()), std::vector<std::string>{"new"});
}

TEST(AtomicReplace, AFailureLeavesTheOriginalAndTheFolderAsTheyWere)
{
    struct Case {
        const char* label;
        std::function<fs::path(const TempFolder&)> make;  // returns what is replaced
        const char* failingStep;
    };
    auto original = [](const TempFolder& t) {
        WriteBytes(t / "Info.plist", "original");
        return t / "Info.plist";
    };
    const Case cases[] = {
        {"create fails", original, "create"},
        {"write fails", original, "write"},
        {"flush fails", original, "fsync"},
        {"rename fails", original, "rename"},
        {"a link is refused",
         [](auto& t) {
             WriteBytes(t / "target", "original");
             fs::create_symlink(t / "target", t / "Info.plist");
             return t / "Info.plist";
         },
         ""},
        {"a folder is refused",
         [](auto& t) {
             WriteBytes(t / "Info.plist/inner", "original");
             return t / "Info.plist";
         },
         ""},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        fs::path path = c.make(temp);
        std::vector<std::string> before = Listing(temp.Path());
        FailingStep failing(c.failingStep);
        EXPECT_FALSE(ReplaceFileAtomically(path, "replacement")) << c.label;
        EXPECT_EQ(Listing(temp.Path()), before) << c.label;
        for (const char* name : {"Info.plist", "target", "Info.plist/inner"})
            if (fs::is_regular_file(temp / name)) {
                EXPECT_EQ(ReadBytes(temp / name), "original") << c.label;
            }
    }
}

TEST(BinaryStream, AFailedCommitIsReportedAndNothingIsWrittenLater)
{
    auto patchAndCommit = [](const TempFolder& t, bool readWrite, const std::function<void()>& beforeCommit) {
        BinaryStreamRef stream = FolderItem(t / "Contents/Info.plist").OpenAsBinaryFile(readWrite);
        if (!stream) return std::string("nil");
        beforeCommit();
        stream->Write("replacement");
        std::string first = stream->Commit() ? "committed" : "failed";
        return first + (stream->Commit() ? " committed" : " failed");
    };
    const struct {
        const char* label;
        std::function<std::string(const TempFolder&)> run;
    } cases[] = {
        {"rename fails through the seam",
         [&](auto& t) {
             FailingStep f("rename");
             return patchAndCommit(t, true, [] {});
         }},
        {"stream opened for reading", [&](auto& t) { return patchAndCommit(t, false, [] {}); }},
        {"folder made read-only after opening",
         [&](auto& t) {
             ::chown((t / "Contents").c_str(), kNobody, kNobody);
             ::chown((t / "Contents/Info.plist").c_str(), kNobody, kNobody);
             return RunAsNobody(
                 [&] { return patchAndCommit(t, true, [&] { ::chmod((t / "Contents").c_str(), 0555); }); });
         }},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        WriteBytes(temp / "Contents/Info.plist", "original");
        EXPECT_EQ(c.run(temp), "failed failed") << c.label;
        EXPECT_EQ(ReadBytes(temp / "Contents/Info.plist"), "original") << c.label;
        EXPECT_EQ(Listing(temp / "Contents"), std::vector<std::string>{"Info.plist"}) << c.label;
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
