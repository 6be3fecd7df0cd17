// SPDX-License-Identifier: MIT
#include "private_group.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

std::optional<gid_t> PrivateGroupOf(uid_t user)
{
    // The account database is asked once per user: folders are tested many times a run.
    static std::mutex mutex;
    static std::vector<std::pair<uid_t, std::optional<gid_t>>> known;
    std::lock_guard lock(mutex);
    for (const auto& [who, group] : known)
        if (who == user) return group;
    std::optional<gid_t> found;
    std::vector<char> buffer(1 << 16);
    passwd account{};
    passwd* self = nullptr;
    group entry{};
    group* primary = nullptr;
    if (::getpwuid_r(user, &account, buffer.data(), buffer.size() / 2, &self) == 0 && self &&
        ::getgrgid_r(self->pw_gid, &entry, buffer.data() + buffer.size() / 2, buffer.size() / 2, &primary) ==
            0 &&
        primary && std::string_view(primary->gr_name) == self->pw_name) {
        bool alone = true;
        for (char** member = primary->gr_mem; member && *member; ++member)
            alone = alone && std::string_view(*member) == self->pw_name;
        if (alone) found = self->pw_gid;
    }
    if (known.size() < 64) known.emplace_back(user, found);
    return found;
}

bool OnlyOwnerWrites(mode_t mode, uid_t owner, gid_t group)
{
    if ((mode & S_IWOTH) != 0) return false;
    if ((mode & S_IWGRP) == 0) return true;
    return (mode & S_ISVTX) == 0 && group == PrivateGroupOf(owner);
}
