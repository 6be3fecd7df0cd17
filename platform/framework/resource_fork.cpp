// SPDX-License-Identifier: MIT
#include "resource_fork.h"

#include "companion.h"
#include "folder_item.h"
#include "platform/files/unique_fd.h"
#include "platform/fork/appledouble.h"
#include "platform/fork/resource_map.h"

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

ResourceForkRef ResourceFork::Open(const FolderItem& item, bool readWrite, FileError& error)
{
    error = {};
    auto refuse = [&](FileError why) {
        error = why;
        return nullptr;
    };
    FolderItem::Location location = item.Locate();
    if (!location.folder) return refuse(FailedAt(FileStep::Open));
    FolderItem::Location where = item.Companion();
    if (!where.folder) return refuse(FailedAt(FileStep::Open));
    // The commit renames a new companion into the companion's folder.
    if (readWrite && ::faccessat(where.folder.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return refuse(FailedAt(FileStep::Open));

    auto impl = std::make_unique<ResourceFork::Impl>();
    struct stat info {};
    UniqueFd fd = OpenCompanion(where, readWrite ? O_RDWR : O_RDONLY, info);
    if (fd) {
        if (info.st_size > FolderItem::kMaxOpenLength) return refuse({FileStep::Open, EFBIG});
        auto bytes = ReadAt(fd.Get(), 0, static_cast<std::uint64_t>(info.st_size));
        if (!bytes) return refuse(FailedAt(FileStep::Open));
        auto companion = macfork::ReadAppleDouble(*bytes);
        if (!companion) return refuse({FileStep::Damaged, 0});
        impl->companion = std::move(*companion);
        impl->read = IdentityOf(info);  // as before the read
    } else {
        // Only a missing companion of an existing file is made anew (and only on a change).
        struct stat item {};
        if (errno != ENOENT) return refuse(FailedAt(FileStep::Open));
        if (::fstatat(location.folder.Get(), location.name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0)
            return refuse(FailedAt(FileStep::Open));
        if (!S_ISREG(item.st_mode)) return refuse({FileStep::Open, EINVAL});
        impl->companion = NewCompanion();
    }
    const auto* forkEntry = macfork::FindEntry(impl->companion, macfork::kResourceForkEntry);
    auto map = macfork::ReadResourceMap(forkEntry ? forkEntry->bytes : std::string());
    if (!map) return refuse({FileStep::Damaged, 0});
    impl->map = std::move(*map);
    impl->folder = std::move(where.folder);
    impl->companionName = std::move(where.name);
    return ResourceForkRef(new ResourceFork(std::move(impl)));
}

ResourceFork::ResourceFork(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

ResourceFork::~ResourceFork() = default;

std::string ResourceFork::GetResource(const std::string& type, std::int16_t id) const
{
    const macfork::Resource* resource = macfork::FindResource(mImpl->map, type, id);
    return resource ? resource->data : std::string();
}

void ResourceFork::AddResource(const std::string& data, const std::string& type, std::int16_t id,
                               const std::string& name)
{
    macfork::AddResource(mImpl->map, type, id, data, name);
}

FileError ResourceFork::Rewrite(FileRewrite& rewrite)
{
    auto fork = macfork::WriteResourceMap(mImpl->map);
    if (!fork) return {FileStep::Write, EFBIG};
    macfork::SetEntry(mImpl->companion, macfork::kResourceForkEntry, std::move(*fork));
    auto bytes = macfork::WriteAppleDouble(mImpl->companion);
    if (!bytes) return {FileStep::Write, EFBIG};
    rewrite = {mImpl->folder, mImpl->companionName, mImpl->read, std::move(*bytes)};
    return {};
}
