// SPDX-License-Identifier: MIT
#include "file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

std::int64_t Nanoseconds(const struct timespec& t)
{
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

FileIdentity IdentityOf(const struct stat& info)
{
    return {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::int64_t(info.st_size),
            Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

std::optional<FileIdentity> IdentityOf(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return IdentityOf(info);
}

std::optional<FileIdentity> IdentityAt(int folderFd, const std::string& name)
{
    struct stat info {};
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return IdentityOf(info);
}
