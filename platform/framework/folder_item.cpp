// SPDX-License-Identifier: MIT
#include "folder_item.h"

#include "binary_stream.h"
#include "platform/plist/unicode.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace {

std::filesystem::path WithoutTrailingSeparators(std::filesystem::path path)
{
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

FolderItem::FolderItem(std::filesystem::path path) : FolderItem(std::move(path), 0) {}

FolderItem::FolderItem(std::filesystem::path path, std::size_t depth)
    : mPath(WithoutTrailingSeparators(std::move(path))), mDepth(depth)
{
}

FolderItem::Location FolderItem::Locate() const
{
    constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (mDepth == 0) {
        std::filesystem::path folder = mPath.parent_path();
        std::string name = mPath.filename().string();
        if (name.empty()) return {UniqueFd(::open(mPath.c_str(), kFolder)), "."};
        if (folder.empty()) folder = ".";
        return {UniqueFd(::open(folder.c_str(), kFolder)), name};
    }

    std::vector<std::string> children;
    std::filesystem::path root = mPath;
    for (std::size_t i = 0; i < mDepth; ++i) {
        children.push_back(root.filename().string());
        root = root.parent_path();
    }
    if (root.empty()) root = ".";
    // The path the item was made from may pass through links; what TrueChild added may not.
    UniqueFd folder(::open(root.c_str(), kFolder | O_NOFOLLOW));
    for (std::size_t i = children.size() - 1; i > 0 && folder; --i)
        folder = UniqueFd(::openat(folder.Get(), children[i].c_str(), kFolder | O_NOFOLLOW));
    return {std::move(folder), children.front()};
}

bool FolderItem::Directory() const
{
    Location location = Locate();
    struct stat info {};
    return location.folder &&
           ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
}

// Only an item known to be absent does not exist. One behind a folder that may not be searched
// counts as there, so that opening it fails and says so instead of passing for a missing item.
bool FolderItem::Exists() const
{
    Location location = Locate();
    struct stat info {};
    if (location.folder &&
        ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    return errno == EACCES;
}

std::string FolderItem::DisplayName() const
{
    std::string name = mPath.filename().string();
    return unicode::WithInvalidUTF8Replaced(name.empty() ? mPath.string() : name);
}

FolderItemRef FolderItem::TrueChild(const std::string& name) const
{
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return nullptr;
    return FolderItemRef(new FolderItem(mPath / name, mDepth + 1));
}

FolderItemRef FolderItem::BundleInfoPlist() const
{
    FolderItemRef contents = TrueChild("Contents");
    return contents ? contents->TrueChild("Info.plist") : nullptr;
}

BinaryStreamRef FolderItem::OpenAsBinaryFile(bool readWrite) const
{
    return BinaryStream::Open(Locate(), readWrite);
}
