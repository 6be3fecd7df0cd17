// SPDX-License-Identifier: MIT
#include "fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
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

namespace {

// Up to `length` bytes at `offset` into `out`: how many, fewer at the end of the file.
std::optional<std::size_t> ReadInto(int fd, char* out, std::size_t length, std::uint64_t offset)
{
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, out + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// A lease broken by another opener is told with SIGIO, whose default ends the process. Breaking it
// needs no answer from us: the opener waits its time, so the signal can be ignored.
void IgnoreLeaseSignal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction now {};
        if (::sigaction(SIGIO, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) std::signal(SIGIO, SIG_IGN);
    });
}

// File systems whose files only this kernel changes. On a network or user-space one the other side
// may cut a file short under a mapping, which would end the process, whatever a lease says.
bool Local(int fd)
{
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return false;
    switch (static_cast<std::uint32_t>(info.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0xF2F52010:  // F2FS
        return true;
    default: return false;
    }
}

bool MapLeased(int fd, const FileIdentity& opened, byteorder::LargeBytes& out)
{
    IgnoreLeaseSignal();
    if (!Local(fd) || ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return false;
    // Changed between the open and the lease: the bytes are read, and the commit finds the change.
    const std::optional<FileIdentity> now = IdentityOf(fd);
    byteorder::LargeBytes bytes = byteorder::LargeBytes::Zeros(std::size_t(opened.size));
    if (now == opened && !bytes.empty() && bytes.MapFile(0, fd, 0, bytes.size())) {
        out = std::move(bytes);
        return true;
    }
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

}  // namespace

std::optional<byteorder::LargeBytes> ReadLarge(int fd, const FileIdentity& opened, bool* mapped)
{
    byteorder::LargeBytes bytes;
    // Below this, a copy costs less than the lease and the mapping.
    constexpr std::int64_t kMapFrom = std::int64_t(256) << 10;
    const bool leased = opened.size >= kMapFrom && MapLeased(fd, opened, bytes);
    if (mapped) *mapped = leased;
    if (leased || opened.size <= 0) return bytes;
    bytes = byteorder::LargeBytes::Zeros(std::size_t(opened.size));
    if (bytes.empty()) return std::nullopt;
    const std::optional<std::size_t> got = ReadInto(fd, bytes.data(), bytes.size(), 0);
    if (!got) return std::nullopt;
    bytes.Shorten(*got);
    return bytes;
}

std::optional<std::string> ReadAt(int fd, std::uint64_t offset, std::uint64_t length)
{
    std::string bytes(static_cast<std::size_t>(length), '\0');
    const std::optional<std::size_t> got = ReadInto(fd, bytes.data(), bytes.size(), offset);
    if (!got) return std::nullopt;
    bytes.resize(*got);
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
