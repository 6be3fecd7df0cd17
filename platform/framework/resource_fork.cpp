// SPDX-License-Identifier: MIT
#include "resource_fork.h"

#include "atomic_file.h"
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
    UniqueFd folder;
    std::string companionName;
    std::optional<FileIdentity> read;  // the companion as it was read; nullopt: there was none
    macfork::AppleDouble companion;
    macfork::ResourceMap map;
    bool writable = true;
    bool changed = false;
    bool failed = false;  // a failed commit: the companion keeps its old bytes, nothing more is written
};

namespace {

std::string CompanionName(const std::string& name)
{
    return "._" + name;
}

// Up to `length` bytes at `offset`; fewer at the end of the file, nothing on a read error.
std::optional<std::string> ReadAt(int fd, std::uint64_t offset, std::uint64_t length)
{
    std::string bytes(static_cast<std::size_t>(length), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

UniqueFd OpenCompanion(const FolderItem::Location& companion, int access, struct stat& info)
{
    // O_NONBLOCK: a FIFO of that name must not hang the open; only a regular file is read.
    UniqueFd fd(::openat(companion.folder.Get(), companion.name.c_str(),
                         access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}

// What a companion made for a file that had none holds besides its fork: empty Finder info.
macfork::AppleDouble NewCompanion()
{
    macfork::AppleDouble companion;
    companion.filler = "Mac OS X        ";
    macfork::SetEntry(companion, macfork::kFinderInfoEntry, std::string(32, '\0'));
    return companion;
}

// A Mac's zip archive keeps the companion of Folder/Name as __MACOSX/Folder/._Name at the
// archive's top: the mirror of `folder` under the nearest ancestor's __MACOSX, if it has one.
UniqueFd ArchiveMirror(const std::filesystem::path& folder)
{
    constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    std::error_code error;
    std::filesystem::path absolute =
        std::filesystem::absolute(folder.empty() ? "." : folder, error).lexically_normal();
    if (error) return UniqueFd();
    if (absolute.filename().empty() && absolute.has_relative_path()) absolute = absolute.parent_path();
    std::vector<std::string> below;
    for (std::filesystem::path ancestor = absolute;; ancestor = ancestor.parent_path()) {
        UniqueFd mirror(::openat(AT_FDCWD, (ancestor / "__MACOSX").c_str(), kFolder));
        if (mirror) {
            for (auto name = below.rbegin(); name != below.rend() && mirror; ++name)
                mirror = UniqueFd(::openat(mirror.Get(), name->c_str(), kFolder));
            return mirror;
        }
        if (ancestor == ancestor.parent_path() || ancestor.filename() == "__MACOSX") return UniqueFd();
        below.push_back(ancestor.filename().string());
    }
}

}  // namespace

FolderItem::Location FolderItem::Companion() const
{
    Location location = Locate();
    if (!location.folder) return location;
    Location beside{std::move(location.folder), CompanionName(location.name)};
    struct stat info {};
    if (mDepth > 0 || ::fstatat(beside.folder.Get(), beside.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT)
        return beside;
    UniqueFd mirror = ArchiveMirror(mPath.parent_path());
    if (mirror && ::fstatat(mirror.Get(), beside.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return {std::move(mirror), beside.name};
    return beside;
}

std::string FolderItem::MacType() const
{
    Location location = Companion();
    struct stat info {};
    if (!location.folder) return "";
    UniqueFd fd = OpenCompanion(location, O_RDONLY, info);
    if (!fd) return "";
    auto table = ReadAt(fd.Get(), 0, macfork::kMaxTableEnd);
    auto span = table ? macfork::LocateEntry(*table, macfork::kFinderInfoEntry) : std::nullopt;
    if (!span || span->length < 4 || span->offset + 4 > static_cast<std::uint64_t>(info.st_size)) return "";
    auto type = ReadAt(fd.Get(), span->offset, 4);
    return type && type->size() == 4 ? *type : "";
}

ResourceForkRef FolderItem::OpenResourceFork(bool readWrite) const
{
    Location location = Locate();
    if (!location.folder) return nullptr;
    Location where = Companion();
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
