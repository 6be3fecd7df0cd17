// SPDX-License-Identifier: MIT
#include "fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

UniqueFd OpenRegularAt(int folder, const std::string& name, bool readWrite, FileIdentity& opened)
{
    // O_NONBLOCK: a FIFO of that name must not hang the open; it is refused just below.
    const int flags = (readWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd fd(::openat(folder, name.c_str(), flags));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0) return UniqueFd();
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    opened = IdentityOf(info);
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
