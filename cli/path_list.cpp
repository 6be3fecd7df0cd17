// SPDX-License-Identifier: MIT
#include "path_list.h"

#include "platform/files/unique_fd.h"
#include "platform/framework/folder_item.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// Deeper than any real tree; a hostile one is cut here, not by the stack or the descriptors.
constexpr std::size_t kMaxDepth = 128;

bool ReadList(const std::string& name, bool nul, std::vector<std::string>& paths, std::string& error)
{
    UniqueFd owned;
    int fd = 0;
    if (name != "-") {
        owned = UniqueFd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!owned) {
            error = "cannot read the list " + name + " (" + std::strerror(errno) + ")";
            return false;
        }
        fd = owned.Get();
    }
    const char separator = nul ? '\0' : '\n';
    std::string pending;
    std::size_t total = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read the list " + name + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) break;
        total += std::size_t(got);
        if (total > kMaxListBytes) {
            error = "the list " + name + " is longer than 1 GiB";
            return false;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != separator) {
                pending += buffer[i];
                continue;
            }
            if (!pending.empty()) paths.push_back(std::move(pending));
            pending.clear();
        }
    }
    if (!pending.empty()) paths.push_back(std::move(pending));
    return true;
}

std::vector<std::string> SortedNames(int folder)
{
    std::vector<std::string> names;
    const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return names;
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsBundle(int folder)
{
    struct stat info {};
    return ::fstatat(folder, "Contents/Info.plist", &info, AT_SYMLINK_NOFOLLOW) == 0 ||
           (errno != ENOENT && errno != ENOTDIR);
}

void Walk(int folder, const std::string& path, std::size_t depth, std::vector<std::string>& found)
{
    if (depth > kMaxDepth) return;
    for (const std::string& name : SortedNames(folder)) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const std::string child = path + (path.ends_with('/') ? "" : "/") + name;
        if (S_ISDIR(info.st_mode)) {
            if (name == "__MACOSX") continue;
            UniqueFd inner(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner) continue;
            if (IsBundle(inner.Get()))
                found.push_back(child);
            else
                Walk(inner.Get(), child, depth + 1, found);
        } else if (S_ISREG(info.st_mode) && !name.starts_with("._")) {
            if (FolderItem(child).MacType() == "APPL") found.push_back(child);
        }
    }
}

}  // namespace

std::vector<std::string> ApplicationsUnder(const std::string& folder)
{
    // The folder named is what the user meant: a link to it is followed, as for any path named.
    UniqueFd top(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top || IsBundle(top.Get())) return {folder};
    std::vector<std::string> found;
    Walk(top.Get(), folder, 0, found);
    return found;
}

PathList GatherPaths(const PathSources& sources)
{
    PathList list;
    std::vector<std::string> named = sources.arguments;
    for (const std::string& file : sources.lists)
        if (!ReadList(file, sources.nulSeparated, named, list.error)) return list;
    if (!sources.recursive) {
        list.paths = std::move(named);
        return list;
    }
    for (const std::string& path : named) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            std::vector<std::string> found = ApplicationsUnder(path);
            list.paths.insert(list.paths.end(), std::make_move_iterator(found.begin()),
                              std::make_move_iterator(found.end()));
        } else {
            list.paths.push_back(path);  // a file, or what cannot be looked at: its own report says
        }
    }
    return list;
}
