// SPDX-License-Identifier: MIT
#include "resource_fork.h"

#include "companion.h"
#include "folder_item.h"
#include "fork_stores.h"
#include "platform/files/fd_io.h"
#include "platform/files/unique_fd.h"
#include "platform/fork/appledouble.h"
#include "platform/fork/resource_map.h"
#include "platform/fork/stores.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <vector>

struct ResourceFork::Impl {
    enum class Store {
        None,       // no store holds a fork: nothing to write it to
        Companion,  // an AppleDouble file: ._NAME, .AppleDouble/NAME, __MACOSX/PATH/._NAME
        Raw,        // the emulator's .rsrc/NAME, the fork alone
        Stream,     // Samba's AFP_Resource stream in the file's attributes
    };
    Store store = Store::None;
    SharedFd folder;  // holding the file written: the store's, or the item itself for a stream
    std::string name;
    std::optional<FileIdentity> read;  // the file as it was read
    macfork::AppleDouble companion;
    std::vector<std::string> attributes;  // a stream's anchor and extents as read
    macfork::ResourceMap map;
};

namespace {

using Store = ResourceFork::Impl::Store;

// The result of looking in one store: it holds the fork, or holds none (look further), or the
// fork cannot be opened (`error`).
struct Look {
    bool holds = false;
    FileError error;
};

// A companion-form file or the emulator's raw fork at `where`, read into `impl` when it holds a
// fork. `fallback` is set to it when it is a companion without one, for a fork no store holds.
Look LookInFile(FolderItem::Location where, Store kind, bool readWrite, ResourceFork::Impl& impl,
                std::optional<ResourceFork::Impl>& fallback)
{
    struct stat info {};
    UniqueFd fd = OpenCompanion(where, readWrite ? O_RDWR : O_RDONLY, info);
    if (!fd) {
        // A link (never followed), a folder or any other non-file of that name is no store.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EINVAL || errno == ENXIO)
            return {};
        return {false, FailedAt(FileStep::Open)};
    }
    if (info.st_size > FolderItem::kMaxOpenLength) return {false, {FileStep::Open, EFBIG}};
    auto bytes = ReadAt(fd.Get(), 0, static_cast<std::uint64_t>(info.st_size));
    if (!bytes) return {false, FailedAt(FileStep::Open)};
    ResourceFork::Impl found;
    found.store = kind;
    found.read = IdentityOf(info);  // as before the read
    std::string fork;
    if (kind == Store::Raw) {
        fork = std::move(*bytes);
    } else {
        auto companion = macfork::ReadAppleDouble(*bytes);
        if (!companion) return {false, {FileStep::Damaged, 0}};
        const auto* entry = macfork::FindEntry(*companion, macfork::kResourceForkEntry);
        if (entry) fork = entry->bytes;
        found.companion = std::move(*companion);
    }
    found.folder = std::move(where.folder);
    found.name = std::move(where.name);
    if (fork.empty()) {
        if (kind == Store::Companion && !fallback) fallback = std::move(found);
        return {};
    }
    auto map = macfork::ReadResourceMap(fork);
    if (!map) return {false, {FileStep::Damaged, 0}};
    found.map = std::move(*map);
    impl = std::move(found);
    return {true, {}};
}

// Samba's AFP_Resource stream, with its extents, in the attributes of the item itself.
Look LookInStream(const FolderItem::Location& item, ResourceFork::Impl& impl)
{
    FileIdentity opened;
    UniqueFd file = OpenRegularAt(item.folder.Get(), item.name, false, opened);
    if (!file) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EINVAL) return {};
        return {false, FailedAt(FileStep::Open)};
    }
    std::optional<std::string> anchor = forkstore::ReadAttribute(file.Get(), forkstore::kResource);
    if (!anchor) return errno == ENODATA ? Look{} : Look{false, FailedAt(FileStep::Open)};
    auto extents = macfork::StreamExtents(*anchor);
    if (!extents) return {false, {FileStep::Damaged, 0}};
    std::vector<std::string> values{std::move(*anchor)};
    for (unsigned k = 1; k <= *extents; ++k) {
        std::optional<std::string> extent =
            forkstore::ReadAttribute(file.Get(), forkstore::ResourceExtent(k));
        if (!extent)
            return errno == ENODATA ? Look{false, {FileStep::Damaged, 0}}
                                    : Look{false, FailedAt(FileStep::Open)};
        values.push_back(std::move(*extent));
    }
    auto stream = macfork::JoinStream(values.front(), {values.begin() + 1, values.end()});
    if (!stream) return {false, {FileStep::Damaged, 0}};
    if (stream->empty()) return {};
    auto map = macfork::ReadResourceMap(*stream);
    if (!map) return {false, {FileStep::Damaged, 0}};
    impl.store = Store::Stream;
    impl.read = opened;
    impl.folder = item.folder;
    impl.name = item.name;
    impl.attributes = std::move(values);
    impl.map = std::move(*map);
    return {true, {}};
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

    // The stores in the order the Mac's server reads the fork from, the first that holds one taken.
    auto impl = std::make_unique<ResourceFork::Impl>();
    std::optional<ResourceFork::Impl> fallback;
    Look look = LookInStream(location, *impl);
    if (!look.holds && !look.error)
        look =
            LookInFile({location.folder, "._" + location.name}, Store::Companion, readWrite, *impl, fallback);
    for (const char* helper : {forkstore::kAppleDoubleFolder, forkstore::kForkFolder}) {
        if (look.holds || look.error) break;
        UniqueFd folder = forkstore::HelperFolder(location.folder.Get(), helper);
        if (!folder && errno != ENOENT) return refuse(FailedAt(FileStep::Open));
        if (folder)
            look = LookInFile({SharedFd(std::move(folder)), location.name},
                              helper == forkstore::kForkFolder ? Store::Raw : Store::Companion, readWrite,
                              *impl, fallback);
    }
    if (!look.holds && !look.error) {
        FolderItem::Location archived = item.Companion();
        if (!archived.folder) return refuse(FailedAt(FileStep::Open));
        if (archived.folder.Get() != location.folder.Get())
            look = LookInFile(std::move(archived), Store::Companion, readWrite, *impl, fallback);
    }
    if (look.error) return refuse(look.error);
    if (!look.holds && fallback) *impl = std::move(*fallback);

    // A stream changes on the file itself; every other store is replaced in its folder.
    if (readWrite && impl->store == Store::Stream &&
        ::faccessat(impl->folder.Get(), impl->name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return refuse(FailedAt(FileStep::Open));
    if (readWrite && impl->store != Store::Stream && impl->store != Store::None &&
        ::faccessat(impl->folder.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return refuse(FailedAt(FileStep::Open));
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
    rewrite = {mImpl->folder, mImpl->name, mImpl->read, {}};
    switch (mImpl->store) {
    case Store::None: return {FileStep::Write, ENOENT};  // no store is made where there was none
    case Store::Raw: rewrite.bytes = std::move(*fork); return {};
    case Store::Companion: {
        macfork::SetEntry(mImpl->companion, macfork::kResourceForkEntry, std::move(*fork));
        auto bytes = macfork::WriteAppleDouble(mImpl->companion);
        if (!bytes) return {FileStep::Write, EFBIG};
        rewrite.bytes = std::move(*bytes);
        return {};
    }
    case Store::Stream: break;
    }
    // In the anchor's fragment size and no more extents than there are: the server's limit is
    // not visible from the disk.
    const std::vector<std::string>& old = mImpl->attributes;
    auto values = macfork::SplitStream(*fork, old.front().size(), static_cast<unsigned>(old.size() - 1));
    if (!values) return {FileStep::Write, E2BIG};
    for (std::size_t k = 0; k < old.size(); ++k) {
        const std::string name = k == 0 ? forkstore::kResource : forkstore::ResourceExtent(unsigned(k));
        rewrite.attributes.push_back(
            {name, old[k], k < values->size() ? std::optional<std::string>((*values)[k]) : std::nullopt});
    }
    return {};
}
