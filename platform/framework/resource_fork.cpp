// SPDX-License-Identifier: MIT
#include "resource_fork.h"

#include "atomic_file.h"
#include "companion.h"
#include "folder_item.h"
#include "platform/fork/appledouble.h"
#include "platform/fork/resource_map.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <vector>

struct ResourceFork::Impl {
    SharedFd folder;
    std::string companionName;
    std::optional<FileIdentity> read;  // the companion as it was read; nullopt: there was none
    macfork::AppleDouble companion;
    macfork::ResourceMap map;
    bool writable = true;
    bool changed = false;
    bool failed = false;  // a failed commit: the companion keeps its old bytes, nothing more is written
};

namespace {

// What a companion made for a file that had none holds besides its fork: empty Finder info.
macfork::AppleDouble NewCompanion()
{
    macfork::AppleDouble companion;
    companion.filler = "Mac OS X        ";
    macfork::SetEntry(companion, macfork::kFinderInfoEntry, std::string(32, '\0'));
    return companion;
}

}  // namespace

ResourceForkRef ResourceFork::Open(const FolderItem& item, bool readWrite)
{
    FolderItem::Location location = item.Locate();
    if (!location.folder) return nullptr;
    FolderItem::Location where = item.Companion();
    if (!where.folder) return nullptr;
    // The commit renames a new companion into the companion's folder.
    if (readWrite && ::faccessat(where.folder.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) return nullptr;

    auto impl = std::make_unique<ResourceFork::Impl>();
    impl->writable = readWrite;
    struct stat info {};
    UniqueFd fd = OpenCompanion(where, readWrite ? O_RDWR : O_RDONLY, info);
    if (fd) {
        if (info.st_size > FolderItem::kMaxOpenLength) return nullptr;
        auto bytes = ReadAt(fd.Get(), 0, static_cast<std::uint64_t>(info.st_size));
        if (!bytes) return nullptr;
        auto companion = macfork::ReadAppleDouble(*bytes);
        if (!companion) return nullptr;
        impl->companion = std::move(*companion);
        impl->read = IdentityOf(info);
    } else {
        // Only a missing companion of an existing file is made anew (and only on a change).
        struct stat item {};
        if (errno != ENOENT ||
            ::fstatat(location.folder.Get(), location.name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(item.st_mode))
            return nullptr;
        impl->companion = NewCompanion();
    }
    const auto* forkEntry = macfork::FindEntry(impl->companion, macfork::kResourceForkEntry);
    auto map = macfork::ReadResourceMap(forkEntry ? forkEntry->bytes : std::string());
    if (!map) return nullptr;
    impl->map = std::move(*map);
    impl->folder = std::move(where.folder);
    impl->companionName = std::move(where.name);
    return ResourceForkRef(new ResourceFork(std::move(impl)));
}

ResourceFork::ResourceFork(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

ResourceFork::~ResourceFork()
{
    if (mImpl->changed) (void)Commit();
}

std::string ResourceFork::GetResource(const std::string& type, std::int16_t id) const
{
    const macfork::Resource* resource = macfork::FindResource(mImpl->map, type, id);
    return resource ? resource->data : std::string();
}

void ResourceFork::AddResource(const std::string& data, const std::string& type, std::int16_t id,
                               const std::string& name)
{
    macfork::AddResource(mImpl->map, type, id, data, name);
    mImpl->changed = true;
}

bool ResourceFork::Commit()
{
    if (mImpl->failed) return false;
    if (!mImpl->changed) return true;
    // Set first, so that an attempt ended by an exception is not tried again on release.
    mImpl->failed = true;
    if (!mImpl->writable) return false;
    auto fork = macfork::WriteResourceMap(mImpl->map);
    std::optional<std::string> bytes;
    if (fork) {
        macfork::SetEntry(mImpl->companion, macfork::kResourceForkEntry, std::move(*fork));
        auto written = macfork::WriteAppleDouble(mImpl->companion);
        if (written) bytes = std::move(*written);
    }
    if (!bytes || !ReplaceFileAtomically(mImpl->folder.Get(), mImpl->companionName, *bytes, mImpl->read))
        return false;
    mImpl->failed = false;
    mImpl->changed = false;
    return true;
}
