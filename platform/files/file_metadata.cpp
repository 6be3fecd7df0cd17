// SPDX-License-Identifier: MIT
#include "file_metadata.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace {

std::optional<std::vector<std::string>> AttributeNames(int fd)
{
    for (;;) {
        ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0 && (errno == ENOTSUP || errno == ENOSYS)) return std::vector<std::string>();
        if (size < 0) return std::nullopt;
        if (size == 0) return std::vector<std::string>();
        std::string list(static_cast<std::size_t>(size), '\0');
        size = ::flistxattr(fd, list.data(), list.size());
        if (size < 0 && errno == ERANGE) continue;  // grew in between
        if (size < 0) return std::nullopt;
        std::vector<std::string> names;
        for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
            std::string name(list.c_str() + at);
            at += name.size() + 1;
            if (!name.empty()) names.push_back(std::move(name));
        }
        return names;
    }
}

enum class Read { Value, Gone, Failed };

Read AttributeValue(int fd, const std::string& name, std::string& value)
{
    for (;;) {
        ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) return errno == ENODATA ? Read::Gone : Read::Failed;
        value.assign(static_cast<std::size_t>(size), '\0');
        size = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (size < 0 && errno == ERANGE) continue;
        if (size < 0) return errno == ENODATA ? Read::Gone : Read::Failed;
        value.resize(static_cast<std::size_t>(size));
        return Read::Value;
    }
}

FileError Refused(int code)
{
    return {FileStep::Metadata, code};
}

}  // namespace

FileError CarryMetadata(int originalFd, const struct stat& original, int copyFd)
{
    struct stat made {};
    if (::fstat(copyFd, &made) != 0) return Refused(errno);
    // Owner first: a change of owner clears set-user-ID bits and capabilities, which come after.
    if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
        ::fchown(copyFd, original.st_uid, original.st_gid) != 0)
        return Refused(errno);

    std::optional<std::vector<std::string>> names = AttributeNames(originalFd);
    if (!names) return Refused(errno);
    std::vector<std::pair<std::string, std::string>> carried;
    for (const std::string& name : *names) {
        std::string value;
        Read read = AttributeValue(originalFd, name, value);
        if (read == Read::Gone) continue;
        if (read == Read::Failed) return Refused(errno);
        if (::fsetxattr(copyFd, name.c_str(), value.data(), value.size(), 0) != 0) return Refused(errno);
        carried.emplace_back(name, std::move(value));
    }
    // What the new file got from the folder (a default ACL) and the original did not have. XFS
    // lists an ACL under a second name too, gone with the first.
    std::optional<std::vector<std::string>> got = AttributeNames(copyFd);
    if (!got) return Refused(errno);
    for (const std::string& name : *got)
        if (std::find(names->begin(), names->end(), name) == names->end() &&
            ::fremovexattr(copyFd, name.c_str()) != 0 && errno != ENODATA)
            return Refused(errno);

    // Last: the ACL's mask follows the group bits, and setting a capability may clear set-user-ID.
    if (::fchmod(copyFd, original.st_mode & 07777) != 0) return Refused(errno);

    // The check: what the copy now holds is the original's, or only the old inode can keep it.
    if (::fstat(copyFd, &made) != 0) return Refused(errno);
    if (made.st_mode != original.st_mode || made.st_uid != original.st_uid || made.st_gid != original.st_gid)
        return Refused(EPERM);
    for (const auto& [name, value] : carried) {
        std::string now;
        if (AttributeValue(copyFd, name, now) != Read::Value || now != value) return Refused(EPERM);
    }
    return {};
}
