// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/files/file_commit_group.h"
#include "platform/files/in_place_write.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <functional>

using namespace fixtures;

namespace {

FileRewrite RewriteOf(const fs::path& file, std::string bytes)
{
    FileRewrite rewrite;
    rewrite.folder = SharedFd(UniqueFd(::open(file.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
    rewrite.name = file.filename().string();
    rewrite.read = IdentityAt(rewrite.folder.Get(), rewrite.name);
    rewrite.bytes = std::move(bytes);
    return rewrite;
}

std::string Described(const FileError& error)
{
    return error ? std::to_string(int(error.step)) + " " + error.Cause() : "done";
}

}  // namespace

// Nothing goes in before Commit; another program's change since the read wins over ours.
TEST(FileCommitGroup, PutsEveryReadyFileInPlaceAtCommitEachWithItsOwnOutcome)
{
    const std::string changed = Described({FileStep::Changed, 0});
    struct Case {
        const char* label;
        std::function<void(const fs::path& file)> make;
        std::function<void(const fs::path& file)> meanwhile;  // between Add and Commit
        std::string outcome;
        std::string after;  // the file's content after the commit
        bool sameInode;
    };
    auto old = [](const fs::path& f) { WriteBytes(f, "old"); };
    const Case cases[] = {
        {"a plain file", old, nullptr, "done", "new", false},
        {"a second name: written in place",
         [&](auto& f) { old(f), fs::create_hard_link(f, f.string() + ".2"); }, nullptr, "done", "new", true},
        {"a file that was missing", nullptr, nullptr, "done", "new", false},
        {"replaced meanwhile", old,
         [](auto& f) { WriteBytes(f.string() + ".x", "theirs"), fs::rename(f.string() + ".x", f); }, changed,
         "theirs", false},
        {"made meanwhile", nullptr, [](auto& f) { WriteBytes(f, "theirs"); }, changed, "theirs", false},
        {"in place, edited meanwhile", [&](auto& f) { old(f), fs::create_hard_link(f, f.string() + ".2"); },
         [](auto& f) { MakeOld(f), WriteBytes(f, "theirs"); }, changed, "theirs", true},
    };
    TempFolder temp;
    FileCommitGroup group;
    std::vector<fs::path> files;
    std::vector<ino_t> inodes;
    for (const Case& c : cases) {
        files.push_back(temp / c.label / "Info.plist");
        fs::create_directories(files.back().parent_path());
        if (c.make) c.make(files.back());
        inodes.push_back(c.make ? LinkStatus(files.back()).st_ino : 0);
        ASSERT_FALSE(group.Add(RewriteOf(files.back(), "new"))) << c.label;
    }
    EXPECT_EQ(group.Size(), std::size(cases));
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(ReadBytes(files[i]), cases[i].make ? "old" : "<unreadable>") << cases[i].label;
        if (cases[i].meanwhile) cases[i].meanwhile(files[i]);
    }
    const std::vector<FileError> outcomes = group.Commit();
    ASSERT_EQ(outcomes.size(), files.size());
    EXPECT_EQ(group.Size(), 0u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        EXPECT_EQ(Described(outcomes[i]), cases[i].outcome);
        EXPECT_EQ(ReadBytes(files[i]), cases[i].after);
        if (inodes[i]) {
            EXPECT_EQ(LinkStatus(files[i]).st_ino == inodes[i], cases[i].sameInode);
        }
        for (const std::string& name : Listing(files[i].parent_path()))
            EXPECT_TRUE(name.starts_with("Info.plist")) << "left behind: " << name;
    }
}

// A list, then the executable signed for it: none when one cannot be made ready, none after a failure.
TEST(FileCommitGroup, TheFilesOfOneEditGoInInOrderAndNoneAfterAFailure)
{
    const std::string rename = Described({FileStep::Rename, EIO}), big = Described({FileStep::Write, EFBIG});
    const struct {
        const char* label;
        int failingRename;  // which rename the seam fails, from 1; 0: none
        bool secondTooLarge;
        std::string first, second;  // the files' contents afterwards
        std::size_t failed;
        std::string error;
        std::vector<std::string> grouped;  // each file's outcome in a group; none when not added
    } cases[] = {
        {"both go in", 0, false, "new", "new", 0, "done", {"done", "done"}},
        {"the first cannot go in", 1, false, "old", "old", 0, rename, {rename, rename}},
        {"the second cannot go in", 2, false, "new", "old", 1, rename, {"done", rename}},
        {"the second cannot be made ready", 0, true, "old", "old", 1, big, {}},
    };
    for (const auto& c : cases) {
        for (bool grouped : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (grouped ? ", in a group" : ", by themselves"));
            TempFolder temp;
            WriteBytes(temp / "Info.plist", "old");
            WriteBytes(temp / "Tool", "old");
            std::vector<FileRewrite> rewrites;
            rewrites.push_back(RewriteOf(temp / "Info.plist", "new"));
            rewrites.push_back(RewriteOf(temp / "Tool", "new"));
            if (c.secondTooLarge) rewrites.back().openLimit = 2;
            const auto hook = FailNth(FileStep::Rename, c.failingRename);
            std::size_t failed = 9;
            if (grouped) {
                FileCommitGroup group;
                FileError error = group.Add(std::move(rewrites), failed);
                EXPECT_EQ(Described(error), c.grouped.empty() ? c.error : "done");
                std::vector<std::string> outcomes;
                for (const FileError& each : group.Commit()) outcomes.push_back(Described(each));
                EXPECT_EQ(outcomes, c.grouped);
            } else {
                EXPECT_EQ(Described(CommitRewrites(std::move(rewrites), failed)), c.error);
            }
            if (c.error != "done" && (!grouped || c.grouped.empty())) {
                EXPECT_EQ(failed, c.failed);
            }
            EXPECT_EQ(ReadBytes(temp / "Info.plist"), c.first);
            EXPECT_EQ(ReadBytes(temp / "Tool"), c.second);
            EXPECT_EQ(Listing(temp.Path()), (std::vector<std::string>{"Info.plist", "Tool"}));
        }
    }
}

// A write in place cut short is undone from its journal by the next run, before anything reads
// the file; a journal that cannot apply is dropped, and one still being written stops the open.
TEST(InPlaceWrite, AJournalPutsBackTheOldContentAfterACrash)
{
    const std::string oldBytes(100000, 'o'), newBytes(150000, 'n');
    enum class Dies { WritingTheFile, FlushingTheJournal, Never };
    struct Case {
        const char* label;
        Dies dies;
        std::function<void(const fs::path& file, const fs::path& journal)> after;  // before the next open
        std::string opened;  // what the next open reads, "nil" when it is refused
        bool journalLeft;
    };
    const Case cases[] = {
        {"killed while writing the file", Dies::WritingTheFile, nullptr, oldBytes, false},
        // The file is touched only once the journal is whole and flushed.
        {"power cut while the journal was written", Dies::FlushingTheJournal,
         [](auto&, const fs::path& journal) { ASSERT_EQ(::truncate(journal.c_str(), 5000), 0); }, oldBytes,
         false},
        {"the file replaced since", Dies::WritingTheFile,
         [](const fs::path& file, auto&) {
             WriteBytes(file.string() + ".x", "other"), fs::rename(file.string() + ".x", file);
         },
         "other", false},
        {"its writer still at work", Dies::WritingTheFile, nullptr, "nil", true},
        {"a write that went through", Dies::Never, nullptr, newBytes, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        const fs::path file = temp / "Info.plist", journal = temp / JournalName("Info.plist");
        WriteBytes(file, oldBytes);
        fs::create_hard_link(file, temp / "second");
        const Finished run = Child([&] {
                                 Installed<FileFaultHook> hook(SetFileFaultHook, [&](FileStep step) {
                                     if (step == FileStep::Flush && c.dies == Dies::FlushingTheJournal)
                                         ::kill(::getpid(), SIGKILL);
                                     if (step == FileStep::Write && c.dies == Dies::WritingTheFile) {
                                         UniqueFd fd(::open(file.c_str(), O_WRONLY));
                                         (void)!::pwrite(fd.Get(), std::string(64, 'T').data(), 64, 0);
                                         ::kill(::getpid(), SIGKILL);
                                     }
                                     return true;
                                 });
                                 FileCommitGroup group;
                                 if (group.Add(RewriteOf(file, newBytes))) return 2;
                                 return group.Commit()[0] ? 3 : 0;
                             }).Wait();
        EXPECT_EQ(run.signal, c.dies == Dies::Never ? 0 : SIGKILL);
        EXPECT_EQ(fs::exists(journal), c.dies != Dies::Never);
        if (c.after) c.after(file, journal);
        UniqueFd held;
        if (std::string(c.label) == "its writer still at work") {
            held = UniqueFd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);
        }
        FileError error;
        BinaryStreamRef stream = FolderItem(file).OpenAsBinaryFile(true, error);
        EXPECT_EQ(stream ? stream->Read(stream->Length()) : "nil", c.opened);
        EXPECT_EQ(fs::exists(journal), c.journalLeft);
        EXPECT_EQ(ReadBytes(temp / "second") == ReadBytes(file),
                  std::string(c.label) != "the file replaced since");
    }
}

// Whether the file system clones the old file (btrfs, XFS: run with TMPDIR there) or not; ranges
// outside the content are never taken on trust.
TEST(FileCommitGroup, ARewriteOfSomeRangesEndsWithExactlyTheNewBytes)
{
    std::string old(3 << 20, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) old[i] = char(i * 7 + i / 4096);
    std::string fresh = old;
    fresh.replace(5000, 3000, std::string(3000, 'S'));
    fresh.replace(fresh.size() - 10, 10, std::string(10, 'E'));
    const struct Case {
        const char* label;
        std::vector<ByteRange> changed;
    } cases[] = {
        {"the ranges named", {{5000, 3000}, {fresh.size() - 10, 10}}},
        {"a range past the end: all written", {{5000, 3000}, {fresh.size() - 10, 11}}},
    };
    TempFolder temp;
    for (const Case& c : cases) {
        const fs::path file = temp / c.label;
        WriteBytes(file, old);
        fs::permissions(file, fs::perms(0751));
        FileRewrite rewrite = RewriteOf(file, fresh);
        rewrite.changed = c.changed;
        FileCommitGroup group;
        ASSERT_FALSE(group.Add(std::move(rewrite))) << c.label;
        ASSERT_FALSE(group.Commit()[0]) << c.label;
        EXPECT_TRUE(ReadBytes(file) == fresh) << c.label;
        EXPECT_EQ(LinkStatus(file).st_mode & 07777, 0751u) << c.label;
    }
}
