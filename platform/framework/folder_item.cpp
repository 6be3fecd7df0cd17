// SPDX-License-Identifier: MIT
#include "folder_item.h"

#include "binary_stream.h"

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

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one.
std::size_t ValidSequenceLength(std::string_view text)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || text.size() < length) return 0;
    // The second byte's range rules out overlong forms, surrogates and values above U+10FFFF.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

std::string WithInvalidUtf8Replaced(std::string_view text)
{
    std::string shown;
    while (!text.empty()) {
        std::size_t length = ValidSequenceLength(text);
        if (length == 0) {
            shown += "\xEF\xBF\xBD";
            length = 1;
        } else {
            shown.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return shown;
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
    if (location.folder && ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    return errno == EACCES;
}

std::string FolderItem::DisplayName() const
{
    std::string name = mPath.filename().string();
    return WithInvalidUtf8Replaced(name.empty() ? mPath.string() : name);
}

FolderItemRef FolderItem::TrueChild(const std::string& name) const
{
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return nullptr;
    return FolderItemRef(new FolderItem(mPath / name, mDepth + 1));
}

BinaryStreamRef FolderItem::OpenAsBinaryFile(bool readWrite) const
{
    return BinaryStream::Open(Locate(), readWrite);
}
