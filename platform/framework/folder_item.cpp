// SPDX-License-Identifier: MIT
#include "folder_item.h"
#include "platform/files/private_group.h"

#include "binary_stream.h"
#include "companion.h"
#include "fork_stores.h"
#include "platform/files/fd_io.h"
#include "platform/fork/appledouble.h"
#include "platform/fork/stores.h"
#include "platform/plist/cfobject.h"
#include "resource_fork.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

std::filesystem::path WithoutTrailingSeparators(std::filesystem::path path)
{
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// What a failed lookup proves: that the item, or a folder on its way, is not there.
bool Absent(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

std::string CompanionName(const std::string& name)
{
    return "._" + name;
}

// A folder the search for an archive's __MACOSX may look in and climb past (forkstore::Trusted):
// no one else can have put a __MACOSX in it or moved one there. An archive unpacked by the user
// lies below such folders.
using forkstore::Trusted;

// Nothing, with errno ENOENT: the search found no mirror.
UniqueFd NoMirror()
{
    errno = ENOENT;
    return UniqueFd();
}

// A Mac's zip archive keeps the companion of Folder/Name as __MACOSX/Folder/._Name at the
// archive's top: the mirror of `folder` (open, named `named`) under the nearest ancestor's
// __MACOSX, if it has one. The ancestors are the real ones, whatever links or ".." the name
// holds, and the search stops at the first that is not Trusted. Nothing when there is no mirror
// (errno ENOENT) or a folder could not be looked at (errno says why).
UniqueFd ArchiveMirror(int folder, const std::filesystem::path& named)
{
    constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    struct stat here {};
    if (::fstat(folder, &here) != 0) return UniqueFd();
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(named.empty() ? "." : named, error);
    if (error) {
        errno = error.value();
        return UniqueFd();
    }
    const dev_t device = here.st_dev;
    UniqueFd climbed;  // the folder `at` names, once above `folder`
    std::vector<std::string> below;
    for (std::filesystem::path at = real;; at = at.parent_path()) {
        const int current = climbed ? climbed.Get() : folder;
        if (!Trusted(here, device)) return NoMirror();
        UniqueFd mirror(::openat(current, "__MACOSX", kFolder));
        if (mirror) {
            for (auto name = below.rbegin(); mirror; ++name) {
                struct stat info {};
                if (::fstat(mirror.Get(), &info) != 0) return UniqueFd();
                if (!Trusted(info, device)) return NoMirror();
                if (name == below.rend()) return mirror;
                mirror = UniqueFd(::openat(mirror.Get(), name->c_str(), kFolder));
            }
            return UniqueFd();  // errno as the open left it
        }
        if (!Absent(errno)) return UniqueFd();
        if (at == at.parent_path() || at.filename() == "__MACOSX") return NoMirror();
        // The real parent, which must hold this folder under the name the real path gives it:
        // the names below are the mirror's path.
        UniqueFd parent(::openat(current, "..", kFolder));
        struct stat above {};
        if (!parent || ::fstat(parent.Get(), &above) != 0) return UniqueFd();
        struct stat child {};
        if (::fstatat(parent.Get(), at.filename().c_str(), &child, AT_SYMLINK_NOFOLLOW) != 0 ||
            child.st_dev != here.st_dev || child.st_ino != here.st_ino)
            return NoMirror();
        below.push_back(at.filename().string());
        climbed = std::move(parent);
        here = above;
    }
}

// The folders opened last stay open, so that an item's next steps and its neighbours' find them
// open; older ones close once nothing uses them.
void KeepOpen(std::shared_ptr<const UniqueFd> folder)
{
    constexpr std::size_t kKept = 16;
    static std::mutex mutex;
    static std::array<std::shared_ptr<const UniqueFd>, kKept> kept;
    static std::size_t next = 0;
    std::lock_guard lock(mutex);
    kept[next++ % kKept] = std::move(folder);
}

}  // namespace

SharedFd FolderItem::Folder::Open()
{
    constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC;
    std::lock_guard lock(mMutex);
    if (std::shared_ptr<const UniqueFd> open = mFd.lock()) return SharedFd(std::move(open));
    SharedFd folder;
    if (!mParent) {
        folder = SharedFd(UniqueFd(::open(mPath.c_str(), kFolder)));
    } else {
        // The path the item was made from may pass through links; what TrueChild added may not.
        SharedFd parent = mParent->Open();
        if (parent) folder = SharedFd(UniqueFd(::openat(parent.Get(), mName.c_str(), kFolder | O_NOFOLLOW)));
    }
    if (!folder) return folder;  // errno as the open left it
    mFd = folder.Handle();
    KeepOpen(folder.Handle());
    return folder;
}

std::shared_ptr<FolderItem::Folder> FolderItem::Folder::Child(const std::shared_ptr<Folder>& parent,
                                                              const std::string& name)
{
    std::lock_guard lock(parent->mMutex);
    std::erase_if(parent->mChildren, [](const std::weak_ptr<Folder>& child) { return child.expired(); });
    for (const std::weak_ptr<Folder>& known : parent->mChildren) {
        std::shared_ptr<Folder> child = known.lock();
        if (child && child->mName == name) return child;
    }
    auto child = std::make_shared<Folder>(parent, name);
    parent->mChildren.push_back(child);
    return child;
}

FolderItem::FolderItem(std::filesystem::path path) : FolderItem(std::move(path), 0, nullptr) {}

FolderItem::FolderItem(std::filesystem::path path, std::size_t depth, std::shared_ptr<Folder> holder)
    : mPath(WithoutTrailingSeparators(std::move(path))), mDepth(depth), mHolder(std::move(holder))
{
    // The root, or a path of dots, has no name in a folder above it: it is "." in itself.
    const bool named = mPath.has_filename();
    mName = named ? mPath.filename().string() : std::string(1, '.');
    if (!mHolder) {
        std::filesystem::path folder = named ? mPath.parent_path() : mPath;
        mHolder = std::make_shared<Folder>(folder.empty() ? std::filesystem::path(".") : folder);
    }
    mAsFolder = Folder::Child(mHolder, mName);
}

FolderItem::Location FolderItem::Locate() const
{
    return {mHolder->Open(), mName};
}

std::optional<FolderItem::Kind> FolderItem::LookUpKind() const
{
    Location location = Locate();
    struct stat info {};
    // Out of descriptors, an item made from a path can still be looked at by it: the same lookup.
    const bool found = location.folder ? ::fstatat(location.folder.Get(), location.name.c_str(), &info,
                                                   AT_SYMLINK_NOFOLLOW) == 0
                                       : mDepth == 0 && ::lstat(mPath.c_str(), &info) == 0;
    if (!found) return std::nullopt;
    if (S_ISDIR(info.st_mode)) return Kind::Folder;
    if (S_ISREG(info.st_mode)) return Kind::File;
    if (S_ISLNK(info.st_mode)) return Kind::Link;
    return Kind::Other;
}

bool FolderItem::Directory() const
{
    return LookUpKind() == Kind::Folder;
}

std::optional<std::string> FolderItem::LinkTarget() const
{
    Location location = Locate();
    if (!location.folder) return std::nullopt;
    std::string target(PATH_MAX, '\0');
    const ssize_t length =
        ::readlinkat(location.folder.Get(), location.name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    return target;
}

bool FolderItem::Exists() const
{
    Location location = Locate();
    struct stat info {};
    if (location.folder &&
        ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    return !Absent(errno);
}

std::string FolderItem::DisplayName() const
{
    std::string name = mPath.filename().string();
    return plist::WithInvalidUTF8Replaced(name.empty() ? mPath.string() : name);
}

FolderItemRef FolderItem::TrueChild(const std::string& name) const
{
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return nullptr;
    return FolderItemRef(new FolderItem(mPath / name, mDepth + 1, mAsFolder));
}

FolderItemRef FolderItem::BundleInfoPlist() const
{
    FolderItemRef contents = TrueChild("Contents");
    return contents ? contents->TrueChild("Info.plist") : nullptr;
}

BinaryStreamRef FolderItem::OpenAsBinaryFile(bool readWrite) const
{
    FileError ignored;
    return OpenAsBinaryFile(readWrite, ignored);
}

BinaryStreamRef FolderItem::OpenAsBinaryFile(bool readWrite, FileError& error, std::int64_t limit) const
{
    return BinaryStream::Open(Locate(), readWrite, error, limit);
}

bool FolderItem::ReadInPieces(const std::function<bool(std::string_view)>& sink, std::int64_t limit) const
{
    Location location = Locate();
    if (!location.folder) return false;
    return OpenFolder(std::move(location.folder)).ReadPieces(location.name, sink, limit);
}

OpenFolder FolderItem::AsFolder() const
{
    SharedFd folder = mAsFolder->Open();
    return OpenFolder(std::move(folder), errno);
}

std::vector<std::string> FolderItem::ChildNames() const
{
    return AsFolder().Names(std::numeric_limits<std::size_t>::max()).value_or(std::vector<std::string>());
}

FolderItem::Location FolderItem::Companion() const
{
    Location location = Locate();
    if (!location.folder) return location;
    Location beside{std::move(location.folder), CompanionName(location.name)};
    struct stat info {};
    if (mDepth > 0 || ::fstatat(beside.folder.Get(), beside.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT)
        return beside;
    UniqueFd mirror = ArchiveMirror(beside.folder.Get(), mPath.parent_path());
    if (!mirror) {
        // A search that could not look where it had to leaves the companion unknown, not absent.
        const int error = errno;
        if (Absent(error)) return beside;
        errno = error;
        return {SharedFd(), std::move(beside.name)};
    }
    if (::fstatat(mirror.Get(), beside.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return {SharedFd(std::move(mirror)), beside.name};
    return beside;
}

std::string FolderItem::MacType() const
{
    return LookUpMacType().value_or("");
}

namespace {

const std::string kNoType(4, '\0');

// The type in a companion's Finder info entry: "" when there is none (no such file, a link, a
// folder, or no entry 9), nothing (errno set) when it could not be read. The header and table
// alone tell it, so that a damaged fork does not hide the type.
std::optional<std::string> CompanionType(const FolderItem::Location& location)
{
    struct stat info {};
    UniqueFd fd = OpenCompanion(location, O_RDONLY, info);
    if (!fd) {
        const int error = errno;
        if (Absent(error) || error == ELOOP || error == EINVAL || error == ENXIO) return "";
        return std::nullopt;
    }
    auto table = ReadAt(fd.Get(), 0, macfork::kMaxTableEnd);
    if (!table) return std::nullopt;
    auto span = macfork::LocateEntry(*table, macfork::kFinderInfoEntry);
    if (!span || span->length < 4 || span->offset + 4 > static_cast<std::uint64_t>(info.st_size)) return "";
    auto type = ReadAt(fd.Get(), span->offset, 4);
    if (!type) return std::nullopt;
    return type->size() == 4 ? *type : "";
}

// The type in one of the file's attributes: "" when absent, nothing (errno set) when it could
// not be read or does not hold what the server writes there.
std::optional<std::string> AttributeType(int file, const std::string& name)
{
    std::optional<std::string> value = forkstore::ReadAttribute(file, name);
    if (!value) return errno == ENODATA ? std::optional<std::string>("") : std::nullopt;
    auto stream = macfork::JoinStream(*value, {});
    auto info = name == forkstore::kAfpInfo ? (stream ? macfork::AfpInfoFinderInfo(*stream) : stream.error())
                                            : macfork::NetatalkMetadataFinderInfo(*value);
    if (!info) {
        errno = EINVAL;
        return std::nullopt;
    }
    return info->substr(0, 4);
}

// The type in an emulator's .finf/NAME, as AttributeType tells it.
std::optional<std::string> EmulatorType(const FolderItem::Location& location)
{
    struct stat info {};
    UniqueFd fd = OpenCompanion(location, O_RDONLY, info);
    if (!fd)
        return Absent(errno) || errno == ELOOP || errno == EINVAL || errno == ENXIO
                   ? std::optional<std::string>("")
                   : std::nullopt;
    auto bytes = ReadAt(fd.Get(), 0, 33);
    if (!bytes) return std::nullopt;
    auto finderInfo = macfork::EmulatorFinderInfo(*bytes);
    if (!finderInfo) {
        errno = EINVAL;
        return std::nullopt;
    }
    return finderInfo->substr(0, 4);
}

}  // namespace

std::optional<std::string> FolderItem::LookUpMacType() const
{
    Location location = Locate();
    if (!location.folder) return Absent(errno) ? std::optional<std::string>("") : std::nullopt;
    // Each store in the order the Mac's server would answer from; one holding zeros hides none.
    auto decided = [](const std::optional<std::string>& type) {
        return !type || (!type->empty() && *type != kNoType);
    };
    std::optional<std::string> type;
    FileIdentity opened;
    UniqueFd file = OpenRegularAt(location.folder.Get(), location.name, false, opened);
    if (!file && !Absent(errno) && errno != ELOOP && errno != EINVAL) return std::nullopt;
    if (file) {
        for (const std::string& name : {forkstore::kAfpInfo, forkstore::kNetatalkMetadata})
            if (decided(type = AttributeType(file.Get(), name))) return type;
    }
    if (decided(type = CompanionType({location.folder, CompanionName(location.name)}))) return type;
    for (const char* helper : {forkstore::kAppleDoubleFolder, forkstore::kFinderInfoFolder}) {
        UniqueFd folder = forkstore::HelperFolder(location.folder.Get(), helper);
        if (!folder && !Absent(errno)) return std::nullopt;
        if (!folder) continue;
        const Location inside{SharedFd(std::move(folder)), location.name};
        if (decided(type = helper == forkstore::kFinderInfoFolder ? EmulatorType(inside)
                                                                  : CompanionType(inside)))
            return type;
    }
    Location archived = Companion();
    if (!archived.folder) return Absent(errno) ? std::optional<std::string>("") : std::nullopt;
    type = CompanionType(archived);
    return !type || *type != kNoType ? type : "";
}

ResourceForkRef FolderItem::OpenResourceFork(bool readWrite) const
{
    FileError ignored;
    return OpenResourceFork(readWrite, ignored);
}

ResourceForkRef FolderItem::OpenResourceFork(bool readWrite, FileError& error) const
{
    return ResourceFork::Open(*this, readWrite, error);
}
