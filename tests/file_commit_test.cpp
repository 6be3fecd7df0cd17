// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "platform/files/file_commit_group.h"
#include "platform/files/file_replacement.h"
#include "platform/files/in_place_write.h"
#include "platform/files/private_group.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>

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

// Kills a child in the middle of an in-place commit of `bytes` to `file`: at the flush of its
// journal, or at the write with the file's first bytes torn; FileStep::None lets it finish.
// Answers the signal that ended it.
int KilledAt(FileStep step, const fs::path& file, const std::string& bytes = "killed")
{
    return Child([&] {
               Installed<FileFaultHook> hook(SetFileFaultHook, [&](FileStep now) {
                   if (now != step) return true;
                   if (step == FileStep::Write) {
                       UniqueFd fd(::open(file.c_str(), O_WRONLY));
                       (void)!::pwrite(fd.Get(), "TORN", 4, 0);
                   }
                   ::kill(::getpid(), SIGKILL);
                   return true;
               });
               FileCommitGroup group;
               if (group.Add(RewriteOf(file, bytes))) return 2;
               return group.Commit()[0] ? 3 : 0;
           })
        .Wait()
        .signal;
}

// The list and the executable of one bundle's edit, in that order.
std::vector<FileRewrite> ListAndTool(const fs::path& list, const fs::path& tool, const std::string& bytes)
{
    std::vector<FileRewrite> rewrites;
    rewrites.push_back(RewriteOf(list, bytes + " list"));
    rewrites.push_back(RewriteOf(tool, bytes + " tool"));
    return rewrites;
}

std::string Opened(const fs::path& file)
{
    FileError error;
    BinaryStreamRef stream = FolderItem(file).OpenAsBinaryFile(true, error);
    return stream ? stream->Read(stream->Length()) : "nil: " + error.Cause();
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
        EXPECT_TRUE(!inodes[i] || (LinkStatus(files[i]).st_ino == inodes[i]) == cases[i].sameInode);
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
        {"both go in", 0, false, "new list", "new tool", 0, "done", {"done", "done"}},
        {"the first cannot go in", 1, false, "old list", "old tool", 0, rename, {rename, rename}},
        {"the second cannot go in", 2, false, "new list", "old tool", 1, rename, {"done", rename}},
        {"the second cannot be made ready", 0, true, "old list", "old tool", 1, big, {}},
    };
    for (const auto& c : cases) {
        for (bool grouped : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (grouped ? ", in a group" : ", by themselves"));
            TempFolder temp;
            WriteBytes(temp / "Info.plist", "old list");
            WriteBytes(temp / "Tool", "old tool");
            std::vector<FileRewrite> rewrites = ListAndTool(temp / "Info.plist", temp / "Tool", "new");
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
    struct Case {
        const char* label;
        FileStep dies;  // FileStep::None: not at all
        std::function<void(const fs::path& file, const fs::path& journal)> after;  // before the next open
        std::string opened;  // what the next open reads, "nil" when it is refused
        bool journalLeft;
    };
    const Case cases[] = {
        {"killed while writing the file", FileStep::Write, nullptr, oldBytes, false},
        // The file is touched only once the journal is whole and flushed.
        {"power cut while the journal was written", FileStep::Flush,
         [](auto&, const fs::path& journal) { ASSERT_EQ(::truncate(journal.c_str(), 5000), 0); }, oldBytes,
         false},
        {"the file replaced since", FileStep::Write,
         [](const fs::path& file, auto&) {
             WriteBytes(file.string() + ".x", "other"), fs::rename(file.string() + ".x", file);
         },
         "other", true},
        {"its writer still at work", FileStep::Write, nullptr, "nil", true},
        {"a write that went through", FileStep::None, nullptr, newBytes, false},
        // Under a umask of 002 the folder is writable by the user's private group: ours all the same.
        {"in a folder of the private group", FileStep::Write,
         [](const fs::path& file, auto&) {
             const std::optional<gid_t> own = PrivateGroupOf(::geteuid());
             if (!own)
                 return std::puts("[  SKIPPED ] the user running the tests has no private group"), void();
             ASSERT_EQ(::chown(file.parent_path().c_str(), ::geteuid(), *own), 0);
             ASSERT_EQ(::chmod(file.parent_path().c_str(), 0775), 0);
         },
         oldBytes, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        const fs::path file = temp / "Info.plist", journal = temp / JournalName("Info.plist");
        WriteBytes(file, oldBytes);
        fs::create_hard_link(file, temp / "second");
        EXPECT_EQ(KilledAt(c.dies, file, newBytes), c.dies == FileStep::None ? 0 : SIGKILL);
        EXPECT_EQ(fs::exists(journal), c.dies != FileStep::None);
        if (c.after) c.after(file, journal);
        UniqueFd held;
        (void)TakeIgnoredJournals();
        if (std::string(c.label) == "its writer still at work") {
            held = UniqueFd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);
        }
        const std::string opened = Opened(file);
        EXPECT_EQ(opened.starts_with("nil: ") ? "nil" : opened, c.opened);
        EXPECT_EQ(fs::exists(journal), c.journalLeft);
        EXPECT_TRUE(c.journalLeft || TakeIgnoredJournals().empty());
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

// A journal that could be another's is never applied nor removed, and neither blocks our own write
// nor hides it: ours then goes under another name, where recovery finds it. A run that may not
// write (a check) leaves every journal and byte, and says the file's write was cut short.
TEST(InPlaceWrite, AJournalThatCouldBeAnothersIsIgnoredAndOursStillWorks)
{
    const std::string oldBytes = "#!/bin/sh\necho root's own\n", planted = "#!/bin/sh\necho planted\n";
    using P = const fs::path&;  // the file (Bare in the folder MacOS), then its journal's path
    struct Case {
        const char* label;
        bool asNobody;       // planted by another user (needs root)
        bool folderTrusted;  // no other user may make files in the folder, or it is sticky
        std::function<void(P file, P journal)> plant;
    };
    const auto whole = [&](P file) { return JournalFor(file, "Bare", planted); };
    const auto ours = [&](P file, P journal) { WriteBytes(journal, whole(file), 0600); };
    const auto byNobody = [&](P file, P journal) {
        const std::string bytes = whole(file);
        EXPECT_EQ(RunAsNobody([&] { return WriteBytes(journal, bytes, 0600), std::string("planted"); }),
                  "planted");
    };
    const Case cases[] = {
        {"a link to a whole journal", false, true,
         [&](P f, P j) {
             ours(f, f.parent_path() / "elsewhere"), fs::create_symlink(f.parent_path() / "elsewhere", j);
         }},
        {"a FIFO", false, true, [](P, P j) { ASSERT_EQ(::mkfifo(j.c_str(), 0600), 0); }},
        {"empty", false, true, [](P, P j) { WriteBytes(j, "", 0600); }},
        {"made for another file", false, true,
         [&](P f, P j) { WriteBytes(f.parent_path() / "other", "x"), ours(f.parent_path() / "other", j); }},
        {"a 64 GiB sparse one", false, true,
         [&](P f, P j) {
             ours(f, j);
             ASSERT_EQ(::truncate(j.c_str(), off_t(64) << 30), 0);
         }},
        {"one with another name", false, true,
         [&](P f, P j) { ours(f, j), fs::create_hard_link(j, f.parent_path() / "kept"); }},
        {"another user's, for root's set-user-ID executable", true, false,
         [&](P f, P j) {
             ASSERT_EQ(::chmod(f.c_str(), 04755), 0);
             ASSERT_EQ(::chown(f.parent_path().c_str(), kNobody, kNobody), 0);
             byNobody(f, j);
         }},
        {"another user's in a sticky folder all may write", true, true,
         [&](P f, P j) {
             ASSERT_EQ(::chmod(f.parent_path().c_str(), 01777), 0);
             byNobody(f, j);
         }},
        {"root's own, whole, in a folder all may write", false, false,
         [&](P f, P j) {
             ASSERT_EQ(::chmod(f.parent_path().c_str(), 0777), 0);
             ours(f, j);
         }},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.asNobody && ::geteuid() != 0) {
            ++skipped;
            continue;
        }
        TempFolder temp;
        const fs::path folder = temp / "MacOS", file = folder / "Bare",
                       journal = folder / JournalName("Bare");
        WriteBytes(file, oldBytes, 0755);
        fs::create_hard_link(file, temp / "second");  // written in place, through a journal
        c.plant(file, journal);
        const struct stat before = LinkStatus(journal);
        ASSERT_NE(before.st_ino, 0u);
        const auto untouched = [&] {
            const struct stat now = LinkStatus(journal);
            return now.st_ino == before.st_ino && now.st_size == before.st_size &&
                   now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
        };
        (void)TakeIgnoredJournals();

        EXPECT_EQ(Opened(file), oldBytes);
        EXPECT_FALSE(TakeIgnoredJournals().empty());
        EXPECT_TRUE(untouched());

        // Ours, cut short under the other name: a check says so and writes nothing; a run mends it.
        // (In a folder of another user's, not even ours can be told from theirs.)
        if (c.folderTrusted) {
            EXPECT_EQ(KilledAt(FileStep::Write, file), SIGKILL);
            const std::string torn = ReadBytes(file);
            EXPECT_TRUE(torn.starts_with("TORN"));
            SetJournalsFinished(false);
            EXPECT_EQ(Opened(file), "nil: a write was cut short: run veilor-patch on it to finish");
            SetJournalsFinished(true);
            EXPECT_EQ(ReadBytes(file), torn);
            EXPECT_TRUE(fs::exists(folder / JournalNames("Bare")[1]));
            EXPECT_EQ(Opened(file), oldBytes);
            EXPECT_FALSE(fs::exists(folder / JournalNames("Bare")[1]));
        }

        FileCommitGroup group;
        ASSERT_FALSE(group.Add(RewriteOf(file, "new")));
        EXPECT_EQ(Described(group.Commit()[0]), "done");
        EXPECT_EQ(ReadBytes(file), "new");
        EXPECT_TRUE(untouched());
        EXPECT_EQ(LinkStatus(file).st_uid, 0u);
    }
    if (skipped) std::printf("[  SKIPPED ] %d journal cases need root to plant as another user\n", skipped);
}

// An edit whose later file can never be written fails before its first file goes in.
TEST(FileCommitGroup, AnEditThatCannotAllGoInWritesNothing)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file another user cannot write";
    // Root's mode 644 executable in the user's folder, alone or with another name (written in place).
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "linked" : "alone");
        TempFolder temp;
        const fs::path contents = temp / "Contents", list = contents / "Info.plist",
                       tool = contents / "MacOS" / "Tool";
        WriteBytes(list, "old list");
        WriteBytes(tool, "old tool", 0644);
        if (linked) fs::create_hard_link(tool, contents / "MacOS" / "again");
        for (const fs::path& path : {contents, contents / "MacOS"})
            ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(list.c_str(), kNobody, kNobody), 0);
        EXPECT_EQ(RunAsNobody([&] {
                      std::size_t failed = 0;
                      FileError error = CommitRewrites(ListAndTool(list, tool, "new"), failed);
                      return std::to_string(failed) + " " + (error ? "failed" : "done");
                  }),
                  "1 failed");
        EXPECT_EQ(ReadBytes(list), "old list");
        EXPECT_EQ(ReadBytes(tool), "old tool");
    }
}

// A file that grows or whose parts move, told which of its ranges are the old file's: the same
// bytes as a plain write, whether the file system clones them (run with TMPDIR on XFS) or not.
TEST(FileCommitGroup, AGrownOrMovedRewriteEndsWithExactlyTheNewBytes)
{
    std::string old(1 << 20, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) old[i] = char(i * 13 + i / 4096);
    const std::string moved = std::string(8192, 'H') + old.substr(4096) + std::string(5000, 'T');
    const struct Case {
        const char* label;
        std::vector<SharedRange> shared;
    } cases[] = {
        {"moved by a block, grown", {{8192, 4096, old.size() - 4096}}},
        {"overlapping and past either end: written", {{8192, 4096, 65536}, {12288, 8192, old.size()}}},
        {"not block aligned: written", {{8192 + 100, 4096 + 100, 8192}}},
    };
    TempFolder temp;
    for (const Case& c : cases) {
        const fs::path file = temp / c.label;
        WriteBytes(file, old);
        FileRewrite rewrite = RewriteOf(file, moved);
        rewrite.shared = c.shared;
        FileCommitGroup group;
        ASSERT_FALSE(group.Add(std::move(rewrite))) << c.label;
        ASSERT_FALSE(group.Commit()[0]) << c.label;
        EXPECT_TRUE(ReadBytes(file) == moved) << c.label;
    }
}
