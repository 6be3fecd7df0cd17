// SPDX-License-Identifier: MIT
#include "fork_stores.h"

#include "platform/files/private_group.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace forkstore {

std::string ResourceExtent(unsigned number)
{
    return "user.DosStreamExt." + std::to_string(number) + ".AFP_Resource:$DATA";
}

bool Trusted(const struct stat& folder, dev_t device)
{
    if (!S_ISDIR(folder.st_mode) || folder.st_dev != device ||
        (folder.st_uid != ::geteuid() && folder.st_uid != 0) || (folder.st_mode & S_IWOTH) != 0)
        return false;
    return OnlyOwnerWrites(folder.st_mode, ::geteuid(), folder.st_gid);
}

UniqueFd HelperFolder(int folder, const char* name)
{
    struct stat here {};
    if (::fstat(folder, &here) != 0) return UniqueFd();
    UniqueFd helper(::openat(folder, name, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (!helper) {
        // A link or a file of that name is no helper folder.
        if (errno == ENOTDIR || errno == ELOOP) errno = ENOENT;
        return UniqueFd();
    }
    if (::fstat(helper.Get(), &info) != 0) return UniqueFd();
    if (!Trusted(info, here.st_dev)) {
        errno = ENOENT;
        return UniqueFd();
    }
    return helper;
}

std::optional<std::string> ReadAttribute(int fd, const std::string& name)
{
    constexpr std::size_t kMost = 65536;
    // Its size asked first: most files have no such attribute, and a large buffer per item is waste.
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) {
        if (errno == ENOTSUP) errno = ENODATA;
        return std::nullopt;
    }
    // One that grows between the calls is read again at the largest size any file system allows.
    std::string value(std::min(kMost, static_cast<std::size_t>(size) + 1), '\0');
    ssize_t length = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (length < 0 && errno == ERANGE) {
        value.assign(kMost, '\0');
        length = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    }
    if (length < 0) {
        if (errno == ENOTSUP) errno = ENODATA;
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(length));
    return value;
}

}  // namespace forkstore
