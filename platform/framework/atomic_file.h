// SPDX-License-Identifier: MIT
#pragma once
// Replaces a file's content all at once: the new bytes go to a temporary file in the same folder,
// carrying the original's mode, owner, group, ACL and extended attributes, are flushed to disk,
// and the temporary file is renamed over the original. On failure the original is untouched.
// A file with other names (hard links), or whose metadata the replacement cannot carry, keeps
// its inode instead: the new bytes are written into it, flushed and cut to length.

#include "non_copyable.h"
#include "unique_fd.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// What a file was when it was read; another program's replacement or edit since changes it.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, modified = 0, changed = 0;  // times in nanoseconds
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const struct stat& info);

// The new content, written and flushed but not yet in place. Kept apart from its commit so that
// several can be prepared before any goes in. Dropping it uncommitted removes the temporary file.
class FileReplacement {
public:
    // Nullopt when the temporary file cannot be made, or the file is not (or no longer) what
    // `expected` says: nullopt there means a file that must not exist yet. Unflushed, the caller
    // makes the temporary file durable before Commit, and the rename after it (a FileCommitGroup).
    enum class Flush { Each, ByCaller };
    static std::optional<FileReplacement> Prepare(int folderFd, const std::string& name,
                                                  std::string_view bytes,
                                                  const std::optional<FileIdentity>& expected,
                                                  Flush flush = Flush::Each);
    ~FileReplacement();
    FileReplacement(FileReplacement&&) noexcept = default;
    FileReplacement& operator=(FileReplacement&&) = delete;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // True once the new content is in place. False, with the file as it was, when it is no longer
    // the one read, or the rename or the write in place fails. Commits at most once.
    bool Commit();

    // Written into the old file at Commit, flushed there: nothing for a group to flush.
    bool InPlace() const { return mInPlace; }
    // The temporary file, for a flush of its whole file system; -1 in place.
    int TemporaryFd() const { return mTemporary.Get(); }
    std::uint64_t Device() const { return mDevice; }

private:
    friend class FileCommitGroup;
    FileReplacement() = default;
    UniqueFd mFolder;  // readable when it may be, so that it can be flushed
    std::uint64_t mDevice = 0;
    bool mFlushEach = true;
    std::string mName;
    std::optional<FileIdentity> mExpected;
    UniqueFd mTemporary;  // locked while it lives, so that no other run takes it for a leftover
    UniqueFd mOriginal;   // the file replaced, held in a group until its rename is done
    std::string mTemporaryName;
    std::string mInPlaceBytes;  // the content itself, when it is written into the old file
    bool mInPlace = false;
    bool mDone = false;
};

// true on success. A missing file is created; a link or anything but a regular file is refused.
bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes);
// The same for the file `name` in the open folder `folderFd`, so that no link on the way to the
// folder is looked up again between opening a file and replacing it.
bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes);
// The same, but only if the file is still what `expected` says (nullopt: still missing).
bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes,
                           const std::optional<FileIdentity>& expected);

// Replacements made durable together, for batches: while a group lives, ReplaceFileAtomically on
// its thread prepares each file without a flush and holds it (its true answer then means
// "prepared"); Commit flushes each file system involved once and puts every held file in place,
// in the order held. Their renames are flushed by the next Commit's flush, and by the destructor,
// which commits what is still held. File by file instead where such a flush is not known to reach
// the disk (a network share). After a crash each file is old or new, as one by one. A write in
// place goes in at once, flushed by itself.
class FileCommitGroup : NonCopyable {
public:
    FileCommitGroup();
    ~FileCommitGroup();

    std::size_t Held() const { return mHeld.size(); }
    // Each held file keeps three descriptors open (its folder, the temporary, the old file), and
    // one more while the last group's old files are closed: full at 1,024, or sooner under a low limit.
    bool Full() const;
    // Whether each held file is now in place, in the order held; none is held afterwards.
    std::vector<bool> Commit();

private:
    friend bool ReplaceFileAtomically(int, const std::string&, std::string_view,
                                      const std::optional<FileIdentity>&);
    void LetGo(std::vector<UniqueFd> replaced);

    std::vector<FileReplacement> mHeld;
    std::size_t mCapacity;
    std::thread mLettingGo;  // closing the last group's old files
    FileCommitGroup* mOuter;
    std::vector<std::pair<std::uint64_t, UniqueFd>> mRenamed;  // file systems with renames not yet flushed
};

// A seam for tests: when set, called before each step ("create", "write", "fsync" (also a group's
// flush before its renames), "rename": the commit, also of a write in place) and a false answer makes that
// step fail as the system call would. Returns the previous hook.
using AtomicFileFaultHook = std::function<bool(std::string_view step)>;
AtomicFileFaultHook SetAtomicFileFaultHook(AtomicFileFaultHook hook);
