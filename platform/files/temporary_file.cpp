// SPDX-License-Identifier: MIT
#include "temporary_file.h"

#include "file_fault.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kPrefix = ".veilor-";
constexpr std::string_view kSuffix = ".tmp";
constexpr std::size_t kRandomLength = 12;
constexpr std::string_view kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t kTidiedFolders = 16;

// A short fixed-length name, so that a long original name cannot make it too long.
std::string NewName()
{
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    std::string name(kPrefix);
    for (std::size_t i = 0; i < kRandomLength; ++i) name += kDigits[generator() % kDigits.size()];
    return name + std::string(kSuffix);
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Still the file we hold under that name: not one another run has just made anew.
bool StillNamed(int folderFd, const std::string& name, int fd)
{
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(opened, named);
}

}  // namespace

// Each folder once per process, so that a batch over one large folder does not list it again and
// again. The last folders tidied are held open, so that a new folder cannot take one's inode number.
void RemoveLeftovers(int folderFd)
{
    struct Tidied {
        UniqueFd fd;
        dev_t device;
        ino_t inode;
    };
    static std::mutex mutex;
    static std::deque<Tidied> tidied;
    struct stat folderInfo {};
    if (::fstat(folderFd, &folderInfo) != 0) return;
    std::vector<std::string> candidates;
    {
        std::lock_guard lock(mutex);
        for (const Tidied& held : tidied)
            if (held.device == folderInfo.st_dev && held.inode == folderInfo.st_ino) return;
        // The folder is opened for reading (else there is nothing it may list) and read nowhere else.
        UniqueFd listFd(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!listFd) return;
        alignas(dirent64) char buffer[32768];
        for (ssize_t got; (got = ::getdents64(listFd.Get(), buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                if (IsTemporaryName(entry->d_name)) candidates.emplace_back(entry->d_name);
                at += entry->d_reclen;
            }
        }
        if (tidied.size() == kTidiedFolders) tidied.pop_front();
        tidied.push_back({std::move(listFd), folderInfo.st_dev, folderInfo.st_ino});
    }

    for (const std::string& name : candidates) {
        UniqueFd fd(
            ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat opened {};
        if (!fd || ::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;  // a run is writing it
        if (StillNamed(folderFd, name, fd.Get())) ::unlinkat(folderFd, name.c_str(), 0);
    }
}

bool IsTemporaryName(const std::string& name)
{
    if (name.size() != kPrefix.size() + kRandomLength + kSuffix.size() || !name.starts_with(kPrefix) ||
        !name.ends_with(kSuffix))
        return false;
    std::string_view random = std::string_view(name).substr(kPrefix.size(), kRandomLength);
    return std::all_of(random.begin(), random.end(),
                       [](char c) { return kDigits.find(c) != std::string_view::npos; });
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : mFolder(std::exchange(other.mFolder, -1)), mName(std::move(other.mName)), mFd(std::move(other.mFd))
{
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept
{
    if (this != &other) {
        Discard();
        mFolder = std::exchange(other.mFolder, -1);
        mName = std::move(other.mName);
        mFd = std::move(other.mFd);
    }
    return *this;
}

TemporaryFile TemporaryFile::Create(int folderFd, mode_t mode, FileError& error)
{
    RemoveLeftovers(folderFd);
    TemporaryFile file;
    if (!StepAllowed(FileStep::Create)) {
        error = FailedAt(FileStep::Create);
        return file;
    }
    // A cleaner that took the name away before we held the lock leaves us an unlinked file;
    // then we try another name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = NewName();
        UniqueFd fd(
            ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd) {
            if (errno == EEXIST) continue;
            error = FailedAt(FileStep::Create);
            return file;
        }
        if (::flock(fd.Get(), LOCK_EX) != 0) {
            error = FailedAt(FileStep::Create);
            ::unlinkat(folderFd, name.c_str(), 0);
            return file;
        }
        if (StillNamed(folderFd, name, fd.Get())) {
            file.mFolder = folderFd;
            file.mName = std::move(name);
            file.mFd = std::move(fd);
            return file;
        }
    }
    error = {FileStep::Create, EEXIST};
    return file;
}

FileError TemporaryFile::RenameOver(const std::string& name, bool mustBeNew)
{
    bool renamed =
        mustBeNew && ::renameat2(mFolder, mName.c_str(), mFolder, name.c_str(), RENAME_NOREPLACE) == 0;
    // A file system that cannot tell takes a plain rename; the caller checked just before.
    if (!renamed && (!mustBeNew || errno == EINVAL || errno == ENOSYS))
        renamed = ::renameat(mFolder, mName.c_str(), mFolder, name.c_str()) == 0;
    if (!renamed) {
        FileError error = FailedAt(FileStep::Rename);
        Discard();
        return error;
    }
    mFd.Reset();
    return {};
}

void TemporaryFile::Discard()
{
    if (mFd && mFolder >= 0) ::unlinkat(mFolder, mName.c_str(), 0);
    mFd.Reset();
}
