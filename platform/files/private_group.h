// SPDX-License-Identifier: MIT
#pragma once
// Systems with a umask of 002 give each user a group of their own: a folder writable by that
// group is writable by the user alone.

#include <sys/types.h>

#include <optional>

// The private group of `user` (the primary group, named after the user, with no other member);
// nothing when the user has none.
std::optional<gid_t> PrivateGroupOf(uid_t user);
// Whether a folder with this mode and group, owned by `owner`, lets no one but `owner` make files.
bool OnlyOwnerWrites(mode_t mode, uid_t owner, gid_t group);
