// SPDX-License-Identifier: MIT
#pragma once
// Replaces a file's content all at once: the new bytes go to a temporary file in the same folder,
// are flushed, given the original's owner, mode, ACL and attributes, and the temporary file is
// renamed over the original. On failure the original is untouched. A file with other names (hard
// links), or whose metadata a new file cannot carry, keeps its inode instead: the new bytes are
// written into it through a rollback journal (in_place_write.h).

#include "file_error.h"
#include "file_identity.h"
#include "open_limits.h"
#include "temporary_file.h"
#include "unique_fd.h"

#include "platform/byteorder/large_buffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ByteRange {
    std::uint64_t offset = 0, length = 0;
};

// Bytes of the new content that are the old file's own: `length` bytes at `to` in the new file are
// those at `from` in the file as read.
struct SharedRange {
    std::uint64_t to = 0, from = 0, length = 0;
};

// An extended attribute of a file, as a rewrite changes it.
struct AttributeChange {
    std::string name;
    std::optional<std::string> before;  // as read (none: absent); another value at the commit refuses it
    std::optional<std::string> after;   // none: removed
};

// New content for one file, not yet written: where it goes and what the file was when read.
struct FileRewrite {
    SharedFd folder;  // the open folder that holds the file
    std::string name;
    std::optional<FileIdentity> read;  // nullopt: there was no such file, and none may appear meanwhile
    std::string bytes;
    std::int64_t openLimit = kMaxOpenLength;  // the most that may be opened again
    // When not empty: `bytes` differ from what was read only here, and the size is the same. On a
    // file system that shares blocks between files, a large file's new copy is then a clone of the
    // old one with these ranges written.
    std::vector<ByteRange> changed = {};
    // When not empty (and `changed` is): the file may grow or shrink, and these ranges, in order of
    // `to` and not overlapping, are the old file's bytes. Where blocks can be shared (4 KiB aligned)
    // they are cloned from the old file and only the rest is written; elsewhere all is written.
    std::vector<SharedRange> shared = {};
    // When not empty: the file's content stays, and these attributes of the file itself (never of
    // what a link points to) change instead, in order. One change is one atomic step; the file
    // system's refusal of the first (E2BIG, ENOSPC) leaves everything as it was.
    std::vector<AttributeChange> attributes = {};
    // A large file's content instead of `bytes`, when not empty: held in a mapping of its own,
    // where its unchanged ranges may be the old file's pages (see SharedRange).
    byteorder::LargeBytes large = {};

    std::string_view Content() const { return large.empty() ? std::string_view(bytes) : large.View(); }
};

// A rewrite made ready (the temporary file written) but not yet in place, so that several can be
// made ready before any goes in. Dropped uncommitted, it removes its temporary file.
class FileReplacement {
public:
    enum class Flush {
        Each,     // its content before the rename, its folder after
        ByGroup,  // the caller flushes the whole file system before and after (FileCommitGroup)
    };
    // Refused when the file is no longer what was read (Changed), or when the content would be
    // larger than the rewrite's openLimit (Write, EFBIG): it could never be read again.
    static FileReplacement Prepare(FileRewrite rewrite, Flush flush, FileError& error);

    FileReplacement(FileReplacement&&) noexcept = default;
    FileReplacement& operator=(FileReplacement&&) noexcept = default;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Puts the content in place, once; Changed when another program replaced or edited the file
    // since it was read. In place, the content is also flushed.
    FileError Commit();

    // Its folder flushed after its own rename, where a group's flush would not reach the disk.
    void FlushItself() { mFlush = Flush::Each; }

    bool InPlace() const { return mInPlace; }
    int TemporaryFd() const { return mTemporary.Fd(); }  // -1 in place
    std::uint64_t Device() const { return mDevice; }
    // The file replaced, kept open until the group lets it go: freeing its blocks may wait on the disk.
    UniqueFd TakeReplaced() { return std::move(mOriginal); }

private:
    FileReplacement() = default;
    FileError ChangeAttributes();
    UniqueFd mFolder;  // readable where it may be, so that it can be flushed
    std::string mName;
    std::optional<FileIdentity> mRead;
    Flush mFlush = Flush::Each;
    std::uint64_t mDevice = 0;
    TemporaryFile mTemporary;
    UniqueFd mOriginal;
    bool mInPlace = false;
    std::string mInPlaceBytes;
    std::vector<AttributeChange> mAttributes;
    UniqueFd mAttributed;  // the file whose attributes change
    bool mDone = false;
};

// One file replaced by itself and made durable: the window's way.
FileError CommitRewrite(FileRewrite rewrite);
// Files that make one edit, replaced one after another the same way. Every new content is made
// ready before the first goes in, so that a full disk changes none of them. The error of the first
// that failed (`failed`, its index): none is written when it could not be made ready, none after
// it when it could not go in.
FileError CommitRewrites(std::vector<FileRewrite> rewrites, std::size_t& failed);
