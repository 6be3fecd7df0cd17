// SPDX-License-Identifier: MIT
#include "atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

namespace {

AtomicFileFaultHook& FaultHook()
{
    static AtomicFileFaultHook hook;
    return hook;
}

// false (with errno set as an I/O error) when the test seam fails this step.
bool StepAllowed(std::string_view step)
{
    if (FaultHook() && !FaultHook()(step)) {
        errno = EIO;
        return false;
    }
    return true;
}

constexpr std::string_view kTemporaryPrefix = ".veilor-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kTemporaryRandom = 12;
constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// A short fixed-length name, so that a long original name cannot make it too long.
std::string TemporaryName()
{
    static std::mt19937_64 generator{std::random_device{}()};
    std::string name(kTemporaryPrefix);
    for (std::size_t i = 0; i < kTemporaryRandom; ++i) name += kDigits[generator() % 36];
    return name + std::string(kTemporarySuffix);
}

bool IsTemporaryName(std::string_view name)
{
    if (name.size() != kTemporaryPrefix.size() + kTemporaryRandom + kTemporarySuffix.size() ||
        !name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix))
        return false;
    std::string_view random = name.substr(kTemporaryPrefix.size(), kTemporaryRandom);
    return std::all_of(random.begin(), random.end(), [](char c) {
        return std::string_view(kDigits, 36).find(c) != std::string_view::npos;
    });
}

// A file-size limit must fail the write (EFBIG), which the caller reports, not end the process.
void IgnoreFileSizeSignal()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes temporary files of ours that no run holds locked: what a killed run left behind. Each
// folder once per process, so that a batch over one large folder does not list it again and again.
// The last folders tidied are held open, so that a new folder cannot take one's inode number;
// their numbers are kept beside them, so that telling a new folder costs no system call each.
void RemoveLeftovers(int folderFd, const struct stat& folderInfo)
{
    struct Tidied {
        UniqueFd fd;
        dev_t device;
        ino_t inode;
    };
    static std::mutex mutex;
    static std::deque<Tidied> tidied;
    std::vector<std::string> candidates;
    {
        std::lock_guard lock(mutex);
        for (const Tidied& held : tidied)
            if (held.device == folderInfo.st_dev && held.inode == folderInfo.st_ino) return;
        // The folder is open for reading (else there is nothing it may list) and read nowhere else.
        UniqueFd listFd(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
        if (!listFd) return;
        alignas(dirent64) char buffer[32768];
        for (ssize_t got; (got = ::getdents64(listFd.Get(), buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                if (IsTemporaryName(entry->d_name)) candidates.emplace_back(entry->d_name);
                at += entry->d_reclen;
            }
        }
        if (tidied.size() == 16) tidied.pop_front();
        tidied.push_back({std::move(listFd), folderInfo.st_dev, folderInfo.st_ino});
    }

    for (const std::string& name : candidates) {
        UniqueFd fd(
            ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat opened {
        }, named{};
        if (!fd || ::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;  // a run is writing it
        // Still the file we locked under that name: not one a writer has just made anew.
        if (::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(opened, named))
            ::unlinkat(folderFd, name.c_str(), 0);
    }
}

// A new temporary file, locked. A cleaner that took the name away before we held the lock
// leaves us an unlinked file; then we try another name.
UniqueFd CreateTemporary(int folderFd, mode_t mode, std::string& name, struct stat& opened)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName();
        UniqueFd fd(
            ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd) {
            if (errno == EEXIST) continue;
            return fd;
        }
        struct stat named {};
        if (::flock(fd.Get(), LOCK_EX) != 0 || ::fstat(fd.Get(), &opened) != 0) {
            int saved = errno;
            ::unlinkat(folderFd, name.c_str(), 0);
            errno = saved;
            return UniqueFd();
        }
        if (::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(opened, named))
            return fd;
    }
    errno = EEXIST;
    return UniqueFd();
}

bool WriteAllAt(int fd, std::string_view bytes)
{
    off_t offset = 0;
    while (!bytes.empty()) {
        ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

std::vector<std::string> AttributeNames(int fd)
{
    for (;;) {
        ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size <= 0) return {};
        std::string list(static_cast<std::size_t>(size), '\0');
        size = ::flistxattr(fd, list.data(), list.size());
        if (size < 0 && errno == ERANGE) continue;  // grew in between
        if (size < 0) return {};
        std::vector<std::string> names;
        for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
            std::string name(list.c_str() + at);
            at += name.size() + 1;
            if (!name.empty()) names.push_back(std::move(name));
        }
        return names;
    }
}

// The attribute's value; nullopt when it cannot be read (and is not simply gone).
std::optional<std::string> AttributeValue(int fd, const std::string& name, bool& gone)
{
    gone = false;
    for (;;) {
        ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) {
            gone = errno == ENODATA;
            return std::nullopt;
        }
        std::string value(static_cast<std::size_t>(size), '\0');
        size = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (size < 0 && errno == ERANGE) continue;
        if (size < 0) return std::nullopt;
        value.resize(static_cast<std::size_t>(size));
        return value;
    }
}

// Gives the temporary file everything of the original's that Linux keeps besides the content:
// owner and group, extended attributes (the ACL among them) and mode. false when any of it
// cannot be set; then only the original's own inode can keep it.
bool CarryMetadata(int originalFd, const struct stat& original, int temporaryFd, struct stat made)
{
    if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
        ::fchown(temporaryFd, original.st_uid, original.st_gid) != 0)
        return false;

    std::vector<std::string> names = AttributeNames(originalFd);
    for (const std::string& name : names) {
        bool gone = false;
        std::optional<std::string> value = AttributeValue(originalFd, name, gone);
        if (!value) {
            if (gone) continue;
            return false;
        }
        if (::fsetxattr(temporaryFd, name.c_str(), value->data(), value->size(), 0) != 0) return false;
    }
    // What the new file got from the folder (a default ACL) and the original did not have.
    for (const std::string& name : AttributeNames(temporaryFd))
        if (std::find(names.begin(), names.end(), name) == names.end() &&
            ::fremovexattr(temporaryFd, name.c_str()) != 0)
            return false;

    // Last: fchown clears set-user-ID bits, and the ACL's mask follows the group bits.
    if (::fchmod(temporaryFd, original.st_mode & 07777) != 0) return false;
    return ::fstat(temporaryFd, &made) == 0 && made.st_mode == original.st_mode &&
           made.st_uid == original.st_uid && made.st_gid == original.st_gid;
}

// A file that was missing when read must not replace one made since.
bool RenameInto(int folderFd, const std::string& from, const std::string& to, bool mustBeNew)
{
    if (mustBeNew) {
        if (::renameat2(folderFd, from.c_str(), folderFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS) return false;  // else the file system cannot tell
    }
    return ::renameat(folderFd, from.c_str(), folderFd, to.c_str()) == 0;
}

}  // namespace

FileIdentity IdentityOf(const struct stat& info)
{
    auto nanoseconds = [](const struct timespec& t) {
        return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    return {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::int64_t(info.st_size),
            nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
}

AtomicFileFaultHook SetAtomicFileFaultHook(AtomicFileFaultHook hook)
{
    return std::exchange(FaultHook(), std::move(hook));
}

std::optional<FileReplacement> FileReplacement::Prepare(int folderFd, const std::string& name,
                                                        std::string_view bytes,
                                                        const std::optional<FileIdentity>& expected,
                                                        Flush flush)
{
    IgnoreFileSizeSignal();
    FileReplacement replacement;
    // Readable, so that it can be listed and flushed; a folder we may not read is still written.
    replacement.mFolder = UniqueFd(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!replacement.mFolder) replacement.mFolder = UniqueFd(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    struct stat folderInfo {};
    if (!replacement.mFolder || ::fstat(replacement.mFolder.Get(), &folderInfo) != 0) return std::nullopt;
    replacement.mName = name;
    replacement.mExpected = expected;
    replacement.mFlushEach = flush == Flush::Each;
    RemoveLeftovers(replacement.mFolder.Get(), folderInfo);

    UniqueFd original;
    struct stat info {};
    if (expected) {
        original = UniqueFd(
            ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!original || ::fstat(original.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            IdentityOf(info) != *expected)
            return std::nullopt;
        if (info.st_nlink > 1) {
            replacement.mInPlace = true;
            replacement.mInPlaceBytes = std::string(bytes);
            return replacement;
        }
    }

    if (!StepAllowed("create")) return std::nullopt;
    // A new file gets the usual mode less the umask; an existing one its own mode, set below.
    struct stat made {};
    replacement.mTemporary =
        CreateTemporary(folderFd, expected ? 0600 : 0666, replacement.mTemporaryName, made);
    if (!replacement.mTemporary) return std::nullopt;
    replacement.mDevice = made.st_dev;
    int fd = replacement.mTemporary.Get();
    if (expected && !CarryMetadata(original.Get(), info, fd, made)) {
        ::unlinkat(folderFd, replacement.mTemporaryName.c_str(), 0);
        replacement.mTemporary.Reset();
        replacement.mInPlace = true;
        replacement.mInPlaceBytes = std::string(bytes);
        return replacement;
    }
    if (!StepAllowed("write") || !WriteAllAt(fd, bytes) ||
        (replacement.mFlushEach && (!StepAllowed("fsync") || ::fsync(fd) != 0)))
        return std::nullopt;  // the destructor removes the temporary file
    // Held for a group, the old file stays open, so that the rename does not free it there and
    // then: freeing a file's blocks may wait on the disk, and the group does that aside.
    if (!replacement.mFlushEach) replacement.mOriginal = std::move(original);
    return replacement;
}

FileReplacement::~FileReplacement()
{
    if (!mDone && mTemporary && mFolder) ::unlinkat(mFolder.Get(), mTemporaryName.c_str(), 0);
}

bool FileReplacement::Commit()
{
    if (mDone || !mFolder) return false;
    mDone = true;

    if (mInPlace) {
        // Not crash-atomic: the price of keeping the inode, its other names and what only it may hold.
        UniqueFd fd(::openat(mFolder.Get(), mName.c_str(),
                             O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info {};
        if (!StepAllowed("rename") || !fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            !mExpected || IdentityOf(info) != *mExpected)
            return false;
        off_t length = static_cast<off_t>(mInPlaceBytes.size());
        // Room first, so that a full disk or a size limit fails before any old byte is overwritten.
        if (length > info.st_size) {
            int reserved = ::fallocate(fd.Get(), 0, 0, length);
            if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS) return false;
            if (reserved != 0 && ::ftruncate(fd.Get(), length) != 0) return false;
        }
        return StepAllowed("write") && WriteAllAt(fd.Get(), mInPlaceBytes) &&
               ::ftruncate(fd.Get(), length) == 0 && StepAllowed("fsync") && ::fsync(fd.Get()) == 0;
    }

    // Just before the rename: another program's replacement or edit since the read wins.
    struct stat now {};
    bool allowed = StepAllowed("rename");
    bool exists = ::fstatat(mFolder.Get(), mName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    bool unchanged = exists ? mExpected && IdentityOf(now) == *mExpected : errno == ENOENT && !mExpected;
    if (!allowed || !unchanged || !RenameInto(mFolder.Get(), mTemporaryName, mName, !mExpected)) {
        int saved = errno;
        ::unlinkat(mFolder.Get(), mTemporaryName.c_str(), 0);
        errno = saved;
        return false;
    }
    mTemporary.Reset();
    if (!mFlushEach) return true;

    // The rename is done; a folder that cannot be flushed (some file systems refuse) changes nothing.
    if (::fsync(mFolder.Get()) != 0 && errno == EBADF) {
        UniqueFd folder(::openat(mFolder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder) (void)::fsync(folder.Get());
    }
    return true;
}

namespace {

// Local file systems whose syncfs makes every file's data and every rename durable. Elsewhere (a
// network share, FUSE) syncfs may stop short of what fsync asks of the server: file by file there.
bool FlushedWhole(int fd)
{
    constexpr long kWhole[] = {0xEF53 /* ext2-4 */, 0x58465342 /* xfs */, 0x9123683E /* btrfs */,
                               0xF2F52010 /* f2fs */, 0x01021994 /* tmpfs */};
    struct statfs info {};
    return ::fstatfs(fd, &info) == 0 &&
           std::find(std::begin(kWhole), std::end(kWhole), long(info.f_type)) != std::end(kWhole);
}

FileCommitGroup*& CurrentGroup()
{
    thread_local FileCommitGroup* group = nullptr;
    return group;
}

}  // namespace

FileCommitGroup::FileCommitGroup() : mOuter(std::exchange(CurrentGroup(), this))
{
    // Four descriptors per held file (see Full), and room left for what the caller itself opens.
    struct rlimit limit {};
    rlim_t open = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    mCapacity = std::clamp<rlim_t>(open > 128 ? (open - 128) / 4 : 1, 1, 1024);
}

FileCommitGroup::~FileCommitGroup()
{
    (void)Commit();
    // Every rename durable before the program goes on; a file system that refuses changes nothing.
    for (const auto& [device, fd] : mRenamed) (void)::syncfs(fd.Get());
    if (mLettingGo.joinable()) mLettingGo.join();
    CurrentGroup() = mOuter;
}

bool FileCommitGroup::Full() const
{
    return mHeld.size() >= mCapacity;
}

std::vector<bool> FileCommitGroup::Commit()
{
    std::vector<FileReplacement> held = std::exchange(mHeld, {});
    std::vector<bool> flushed(held.size(), false), done(held.size(), false);
    struct FileSystem {
        std::uint64_t device;
        UniqueFd fd;  // stays valid across the renames
        bool whole;   // flushed by one syncfs, else file by file
        bool flushed;
    };
    std::vector<FileSystem> fileSystems;
    for (std::size_t i = 0; i < held.size(); ++i) {
        auto known = [&](const FileSystem& f) { return f.device == held[i].Device(); };
        auto fileSystem = std::find_if(fileSystems.begin(), fileSystems.end(), known);
        if (fileSystem == fileSystems.end()) {
            UniqueFd fd(::fcntl(held[i].TemporaryFd(), F_DUPFD_CLOEXEC, 0));
            bool whole = fd && FlushedWhole(fd.Get());
            // Each temporary file's content durable before any rename can be.
            bool ok = fd && (!whole || (StepAllowed("fsync") && ::syncfs(fd.Get()) == 0));
            fileSystems.push_back({held[i].Device(), std::move(fd), whole, ok});
            fileSystem = std::prev(fileSystems.end());
        }
        flushed[i] = fileSystem->flushed;
        if (flushed[i] && !fileSystem->whole) {
            flushed[i] = StepAllowed("fsync") && ::fsync(held[i].TemporaryFd()) == 0;
            held[i].mFlushEach = true;  // its folder too, after the rename
        }
    }
    for (std::size_t i = 0; i < held.size(); ++i)
        if (flushed[i]) done[i] = held[i].Commit();
    std::vector<UniqueFd> replaced;
    for (FileReplacement& replacement : held)
        if (replacement.mOriginal) replaced.push_back(std::move(replacement.mOriginal));
    held.clear();  // what was not committed is removed
    LetGo(std::move(replaced));
    // The renames are flushed by the next group's flush of their file system, or at the end.
    for (FileSystem& fileSystem : fileSystems) {
        auto known = [&](const auto& renamed) { return renamed.first == fileSystem.device; };
        if (fileSystem.whole && fileSystem.flushed &&
            std::find_if(mRenamed.begin(), mRenamed.end(), known) == mRenamed.end())
            mRenamed.emplace_back(fileSystem.device, std::move(fileSystem.fd));
    }
    return done;
}

// The old files are closed, and so freed, on a thread of their own while the caller goes on to
// the next group; the one before is waited for first, so that at most two groups are open.
void FileCommitGroup::LetGo(std::vector<UniqueFd> replaced)
{
    if (mLettingGo.joinable()) mLettingGo.join();
    if (replaced.empty()) return;
    try {
        mLettingGo = std::thread([old = std::move(replaced)]() mutable { old.clear(); });
    } catch (const std::system_error&) {
        // No thread to spare: they are closed here, when `replaced` goes.
    }
}

bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes,
                           const std::optional<FileIdentity>& expected)
{
    FileCommitGroup* group = CurrentGroup();
    std::optional<FileReplacement> replacement =
        FileReplacement::Prepare(folderFd, name, bytes, expected,
                                 group ? FileReplacement::Flush::ByCaller : FileReplacement::Flush::Each);
    if (!replacement) return false;
    if (!group || replacement->InPlace()) return replacement->Commit();
    group->mHeld.push_back(std::move(*replacement));
    return true;
}

bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes)
{
    struct stat original {};
    if (::fstatat(folderFd, name.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(original.st_mode)) return false;
        return ReplaceFileAtomically(folderFd, name, bytes, IdentityOf(original));
    }
    return errno == ENOENT && ReplaceFileAtomically(folderFd, name, bytes, std::nullopt);
}

bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes)
{
    std::filesystem::path folderPath = path.parent_path();
    if (folderPath.empty()) folderPath = ".";
    UniqueFd folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return false;
    return ReplaceFileAtomically(folder.Get(), path.filename().string(), bytes);
}
