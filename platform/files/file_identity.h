// SPDX-License-Identifier: MIT
#pragma once
// What a file was when it was read; another program's replacement or edit since changes it.
// Taken of the file itself, never of what a link points to.

#include <cstdint>
#include <optional>
#include <string>

struct FileIdentity {
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, modified = 0, changed = 0;  // times in nanoseconds
    bool operator==(const FileIdentity&) const = default;
};

struct stat;

// Of what fstat or fstatat told.
FileIdentity IdentityOf(const struct stat& info);
// Of an open file; nullopt (errno set) when it cannot be looked at.
std::optional<FileIdentity> IdentityOf(int fd);
// Of `name` in the open folder `folderFd`; nullopt (errno set) when it cannot be looked at,
// ENOENT when it is not there.
std::optional<FileIdentity> IdentityAt(int folderFd, const std::string& name);
