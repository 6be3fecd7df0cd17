// SPDX-License-Identifier: MIT
#include "file_replacement.h"

#include "fd_io.h"
#include "file_fault.h"
#include "file_metadata.h"
#include "in_place_write.h"
#include "open_limits.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace {

// A file-size limit must fail the write (EFBIG), which the caller reports, not end the process.
void IgnoreFileSizeSignal()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

// Below this, writing the bytes costs less than sharing the old file's blocks (measured on XFS).
constexpr std::size_t kCloneFrom = std::size_t(256) << 10;

// The new content with the ranges it shares with the old file cloned where the file system can,
// the rest written. A range the old file no longer holds, or out of order, is simply written.
bool WriteSharing(int fd, int original, std::int64_t originalSize, const FileRewrite& rewrite)
{
    const std::string_view bytes = rewrite.Content();
    const auto oldSize = static_cast<std::uint64_t>(originalSize);
    constexpr std::uint64_t kBlock = 4096;
    std::uint64_t written = 0;  // everything before this is in the new file
    bool cloning = true;
    for (const SharedRange& range : rewrite.shared) {
        if (!cloning) break;
        const bool usable = range.to >= written && range.to <= bytes.size() &&
                            range.length <= bytes.size() - range.to && range.from <= oldSize &&
                            range.length <= oldSize - range.from && range.to % kBlock == 0 &&
                            range.from % kBlock == 0 && range.length >= kBlock;
        if (!usable) continue;
        const std::uint64_t length = range.length - range.length % kBlock;
        if (!WriteAllAt(fd, bytes.substr(written, range.to - written), static_cast<off_t>(written)))
            return false;
        written = range.to;
        const file_clone_range clone{original, range.from, length, range.to};
        if (::ioctl(fd, FICLONERANGE, &clone) != 0) {
            cloning = false;  // not this file system, or not these files: write the rest
            continue;
        }
        written = range.to + length;
    }
    return WriteAllAt(fd, bytes.substr(written), static_cast<off_t>(written));
}

// The new content into the empty temporary file `fd`. A large executable whose signature was
// renewed then costs its signature area on btrfs or XFS, not a copy of the whole file; elsewhere
// the clone fails at once and everything is written.
bool WriteContent(int fd, int original, std::int64_t originalSize, const FileRewrite& rewrite)
{
    const std::string_view bytes = rewrite.Content();
    if (bytes.size() < kCloneFrom) return WriteAllAt(fd, bytes);
    const bool inside =
        std::all_of(rewrite.changed.begin(), rewrite.changed.end(), [&](const ByteRange& range) {
            return range.offset <= bytes.size() && range.length <= bytes.size() - range.offset;
        });
    if (original >= 0 && !rewrite.changed.empty() && inside &&
        static_cast<std::uint64_t>(originalSize) == bytes.size() && ::ioctl(fd, FICLONE, original) == 0) {
        return std::all_of(rewrite.changed.begin(), rewrite.changed.end(), [&](const ByteRange& range) {
            return WriteAllAt(fd, bytes.substr(range.offset, range.length), static_cast<off_t>(range.offset));
        });
    }
    if (original >= 0 && !rewrite.shared.empty()) return WriteSharing(fd, original, originalSize, rewrite);
    return WriteAllAt(fd, bytes);
}

// The content as one string, for the rare write that goes into the old inode.
std::string Taken(FileRewrite& rewrite)
{
    if (rewrite.large.empty()) return std::move(rewrite.bytes);
    std::string bytes(rewrite.large.View());
    rewrite.large = {};  // may map the old file, whose lease would keep us from writing into it
    return bytes;
}

// Whether an in-place write can go in: the file opens for writing and its journal can be made
// beside it. Known before any file of the edit is written, so that none is.
FileError InPlaceWritable(int folder, const std::string& name)
{
    UniqueFd fd(::openat(folder, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return FailedAt(FileStep::Rename);
    if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0) return FailedAt(FileStep::Create);
    return {};
}

// The largest attribute value any Linux file system takes.
constexpr std::size_t kMaxAttributeValue = 65536;

// The attribute's value; none when absent, or (errno set, not ENODATA) when it cannot be read.
std::optional<std::string> AttributeValue(int fd, const std::string& name)
{
    std::string value(kMaxAttributeValue, '\0');
    const ssize_t length = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (length < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(length));
    return value;
}

}  // namespace

FileError FileReplacement::ChangeAttributes()
{
    const int fd = mAttributed.Get();
    // Just before the change: the same file, untouched since it was read.
    std::optional<FileIdentity> now = IdentityOf(fd), named = IdentityAt(mFolder.Get(), mName);
    if (!now || !named) return errno == ENOENT ? FileError{FileStep::Changed, 0} : FailedAt(FileStep::Rename);
    if (now != mRead || named != mRead) return {FileStep::Changed, 0};
    for (const AttributeChange& change : mAttributes) {
        errno = 0;
        std::optional<std::string> value = AttributeValue(fd, change.name);
        if (!value && errno != ENODATA) return FailedAt(FileStep::Open);
        if (value != change.before) return {FileStep::Changed, 0};
    }
    for (const AttributeChange& change : mAttributes) {
        if (!StepAllowed(FileStep::Write)) return FailedAt(FileStep::Write);
        const int done = change.after ? ::fsetxattr(fd, change.name.c_str(), change.after->data(),
                                                    change.after->size(), change.before ? XATTR_REPLACE : 0)
                                      : ::fremovexattr(fd, change.name.c_str());
        if (done != 0 && !(errno == ENODATA && !change.after)) return FailedAt(FileStep::Write);
    }
    if (!StepAllowed(FileStep::Flush) || ::fsync(fd) != 0) return FailedAt(FileStep::Flush);
    return {};
}

FileReplacement FileReplacement::Prepare(FileRewrite rewrite, Flush flush, FileError& error)
{
    IgnoreFileSizeSignal();
    FileReplacement replacement;
    error = {};
    if (static_cast<std::int64_t>(rewrite.Content().size()) > rewrite.openLimit) {
        error = {FileStep::Write, EFBIG};
        return replacement;
    }
    // Readable, so that it can be listed and flushed; a folder we may not read is still written.
    replacement.mFolder = UniqueFd(::openat(rewrite.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!replacement.mFolder)
        replacement.mFolder = UniqueFd(::fcntl(rewrite.folder.Get(), F_DUPFD_CLOEXEC, 0));
    if (!replacement.mFolder) {
        error = FailedAt(FileStep::Open);
        return replacement;
    }
    replacement.mName = std::move(rewrite.name);
    replacement.mRead = rewrite.read;
    replacement.mFlush = flush;
    const int folder = replacement.mFolder.Get();

    if (!rewrite.attributes.empty()) {
        // Changed where the file is; a read-only descriptor serves, the file's own mode decides.
        replacement.mInPlace = true;
        replacement.mAttributes = std::move(rewrite.attributes);
        replacement.mAttributed = UniqueFd(::openat(
            folder, replacement.mName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info {};
        if (!replacement.mAttributed || ::fstat(replacement.mAttributed.Get(), &info) != 0) {
            error = errno == ENOENT || errno == ELOOP ? FileError{FileStep::Changed, 0}
                                                      : FailedAt(FileStep::Open);
        } else if (!S_ISREG(info.st_mode) || IdentityOf(info) != rewrite.read) {
            error = {FileStep::Changed, 0};
        } else if (::faccessat(folder, replacement.mName.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) !=
                   0) {
            error = FailedAt(FileStep::Open);
        }
        for (const AttributeChange& change : replacement.mAttributes)
            if (!error && change.after && change.after->size() > kMaxAttributeValue)
                error = {FileStep::Write, E2BIG};
        return replacement;
    }

    UniqueFd original;
    struct stat info {};
    if (rewrite.read) {
        original = UniqueFd(::openat(folder, replacement.mName.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!original || ::fstat(original.Get(), &info) != 0) {
            error = errno == ENOENT || errno == ELOOP ? FileError{FileStep::Changed, 0}
                                                      : FailedAt(FileStep::Open);
            return replacement;
        }
        if (!S_ISREG(info.st_mode) || IdentityOf(info) != rewrite.read) {
            error = {FileStep::Changed, 0};
            return replacement;
        }
        if (info.st_nlink > 1) {
            replacement.mInPlaceBytes = Taken(rewrite);
            if ((error = InPlaceWritable(folder, replacement.mName))) return replacement;
            replacement.mInPlace = true;
            return replacement;
        }
    }

    // A new file gets the usual mode less the umask; an existing one its own mode, set below.
    replacement.mTemporary = TemporaryFile::Create(folder, rewrite.read ? 0600 : 0666, error);
    if (error) return replacement;
    const int fd = replacement.mTemporary.Fd();
    struct stat made {};
    if (!StepAllowed(FileStep::Write) || !WriteContent(fd, original.Get(), info.st_size, rewrite) ||
        ::fstat(fd, &made) != 0) {
        error = FailedAt(FileStep::Write);
        replacement.mTemporary.Discard();
        return replacement;
    }
    replacement.mDevice = made.st_dev;
    if (rewrite.read && CarryMetadata(original.Get(), info, fd)) {
        // Only the old inode can keep what it holds: write into it instead.
        replacement.mTemporary.Discard();
        replacement.mInPlaceBytes = Taken(rewrite);
        if ((error = InPlaceWritable(folder, replacement.mName))) return replacement;
        replacement.mInPlace = true;
        return replacement;
    }
    if (flush == Flush::Each && (!StepAllowed(FileStep::Flush) || ::fsync(fd) != 0)) {
        error = FailedAt(FileStep::Flush);
        replacement.mTemporary.Discard();
        return replacement;
    }
    if (flush == Flush::ByGroup) replacement.mOriginal = std::move(original);
    return replacement;
}

FileError FileReplacement::Commit()
{
    if (mDone || !mFolder) return {FileStep::Rename, EINVAL};
    mDone = true;
    if (!StepAllowed(FileStep::Rename)) {
        FileError error = FailedAt(FileStep::Rename);
        mTemporary.Discard();
        return error;
    }
    if (mAttributed) return ChangeAttributes();
    if (mInPlace) return WriteInPlace(mFolder.Get(), mName, mInPlaceBytes, *mRead);

    // Just before the rename: another program's replacement or edit since the read wins.
    std::optional<FileIdentity> now = IdentityAt(mFolder.Get(), mName);
    if (!now && errno != ENOENT) {
        FileError error = FailedAt(FileStep::Rename);
        mTemporary.Discard();
        return error;
    }
    if (now != mRead) {
        mTemporary.Discard();
        return {FileStep::Changed, 0};
    }
    if (FileError error = mTemporary.RenameOver(mName, !mRead)) return error;
    if (mFlush == Flush::ByGroup) return {};
    if (!StepAllowed(FileStep::Flush) || !SyncFolder(mFolder.Get())) return FailedAt(FileStep::Flush);
    return {};
}

FileError CommitRewrite(FileRewrite rewrite)
{
    FileError error;
    FileReplacement replacement =
        FileReplacement::Prepare(std::move(rewrite), FileReplacement::Flush::Each, error);
    return error ? error : replacement.Commit();
}

FileError CommitRewrites(std::vector<FileRewrite> rewrites, std::size_t& failed)
{
    std::vector<FileReplacement> ready;
    FileError error;
    for (failed = 0; failed < rewrites.size(); ++failed) {
        ready.push_back(
            FileReplacement::Prepare(std::move(rewrites[failed]), FileReplacement::Flush::Each, error));
        if (error) return error;  // the ones made ready are removed unwritten
    }
    for (failed = 0; failed < ready.size(); ++failed)
        if ((error = ready[failed].Commit())) return error;
    return {};
}
