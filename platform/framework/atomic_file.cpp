// SPDX-License-Identifier: MIT
#include "atomic_file.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

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

// A short fixed-length name, so that a long original name cannot make it too long.
std::string TemporaryName()
{
    static std::mt19937_64 generator{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".veilor-";
    for (int i = 0; i < 12; ++i) name += kDigits[generator() % 36];
    return name + ".tmp";
}

UniqueFd CreateTemporary(int folderFd, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName();
        int fd = ::openat(folderFd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return UniqueFd(fd);
    }
    return UniqueFd();
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Owner and group are kept where we may set them; a user who is not the owner cannot.
void KeepOwner(int fd, const struct stat& original)
{
    if (::fchown(fd, original.st_uid, original.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), original.st_gid);
}

bool WriteTemporary(int fd, const struct stat* original, std::string_view bytes)
{
    if (original) {
        KeepOwner(fd, *original);
        // After fchown, which clears set-user-ID bits.
        if (::fchmod(fd, original->st_mode & 07777) != 0) return false;
    }
    if (!StepAllowed("write") || !WriteAll(fd, bytes)) return false;
    return StepAllowed("fsync") && ::fsync(fd) == 0;
}

}  // namespace

AtomicFileFaultHook SetAtomicFileFaultHook(AtomicFileFaultHook hook)
{
    return std::exchange(FaultHook(), std::move(hook));
}

bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes)
{
    struct stat original {};
    bool exists = ::fstatat(folderFd, name.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(original.st_mode)) return false;

    std::string temporary;
    if (!StepAllowed("create")) return false;
    // A new file gets the usual mode less the umask; an existing one its own mode, set below.
    UniqueFd fd = CreateTemporary(folderFd, exists ? 0600 : 0666, temporary);
    if (!fd) return false;

    bool written = WriteTemporary(fd.Get(), exists ? &original : nullptr, bytes);
    int closed = ::close(fd.Get());
    (void)fd.Release();
    if (!written || closed != 0 || !StepAllowed("rename") ||
        ::renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0) {
        int saved = errno;
        ::unlinkat(folderFd, temporary.c_str(), 0);
        errno = saved;
        return false;
    }

    // The rename is done; a folder that cannot be flushed (some file systems refuse) changes nothing.
    UniqueFd folder(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) (void)::fsync(folder.Get());
    return true;
}

bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes)
{
    std::filesystem::path folderPath = path.parent_path();
    if (folderPath.empty()) folderPath = ".";
    UniqueFd folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return false;
    return ReplaceFileAtomically(folder.Get(), path.filename().string(), bytes);
}
