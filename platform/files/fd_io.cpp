// SPDX-License-Identifier: MIT
#include "fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

UniqueFd OpenRegularAt(int folder, const std::string& name, bool readWrite, FileIdentity& opened)
{
    // Only a handle first, which opens nothing: a device's open may have effects of its own and a
    // FIFO's would wait. What it names is then opened for its content through /proc, which reaches
    // the same file even if the name was taken meanwhile.
    UniqueFd handle(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!handle || ::fstat(handle.Get(), &info) != 0) return UniqueFd();
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISLNK(info.st_mode) ? ELOOP : EINVAL;
        return UniqueFd();
    }
    const int flags = (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const std::string reopen = "/proc/self/fd/" + std::to_string(handle.Get());
    UniqueFd fd(::open(reopen.c_str(), flags));
    // Without /proc, by name again: then only a regular file of the same identity is kept.
    if (!fd && errno == ENOENT) fd = UniqueFd(::openat(folder, name.c_str(), flags | O_NOFOLLOW));
    struct stat now {};
    if (!fd || ::fstat(fd.Get(), &now) != 0) return UniqueFd();
    if (!S_ISREG(now.st_mode) || now.st_dev != info.st_dev || now.st_ino != info.st_ino) {
        errno = EINVAL;
        return UniqueFd();
    }
    opened = IdentityOf(now);
    return fd;
}

bool ReadPieces(int fd, const std::function<bool(std::string_view)>& sink)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!sink(std::string_view(buffer, static_cast<std::size_t>(got)))) return false;
    }
}

std::optional<std::string> ReadAt(int fd, std::uint64_t offset, std::uint64_t length)
{
    std::string bytes(static_cast<std::size_t>(length), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

bool WriteAllAt(int fd, std::string_view bytes, off_t offset)
{
    while (!bytes.empty()) {
        ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

bool SyncFolder(int folderFd)
{
    return ::fsync(folderFd) == 0 || errno == EINVAL || errno == EBADF;
}
