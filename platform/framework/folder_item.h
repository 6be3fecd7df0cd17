// SPDX-License-Identifier: MIT
#pragma once
// A file-system item named by its path. Nothing here resolves symbolic links.

#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

class BinaryStream;
class ResourceFork;
class FolderItem;

using FolderItemRef = std::shared_ptr<FolderItem>;
using BinaryStreamRef = std::shared_ptr<BinaryStream>;
using ResourceForkRef = std::shared_ptr<ResourceFork>;

class FolderItem {
public:
    explicit FolderItem(std::filesystem::path path);  // trailing separators are dropped

    const std::filesystem::path& Path() const { return mPath; }

    bool Directory() const;           // false for a link, even to a folder
    bool Exists() const;              // the item itself (a dangling link exists; so does one
                                      // that may not be looked at for lack of permission)
    std::string DisplayName() const;  // last path component, valid UTF-8
    std::string MacType() const;      // four bytes from the AppleDouble companion, or ""

    FolderItemRef TrueChild(const std::string& name) const;  // nil for an unusable name
    // A bundle's property list, Contents/Info.plist, whether or not it exists.
    FolderItemRef BundleInfoPlist() const;

    // Files and companions larger than this are not opened: the whole content is read at once,
    // and no real application's property list comes near it (the largest known is some 70 KB).
    static constexpr std::int64_t kMaxOpenLength = std::int64_t(64) << 20;

    // Read-write; nil when the item cannot be opened so (a link is never followed) or is longer
    // than kMaxOpenLength.
    BinaryStreamRef OpenAsBinaryFile(bool readWrite) const;
    // Nil when the companion is malformed, longer than kMaxOpenLength, or cannot be written when
    // readWrite is set (a read-only fork refuses to commit changes).
    ResourceForkRef OpenResourceFork(bool readWrite = true) const;

    // The open folder that holds the item and the item's name in it. Below the path the item
    // was made from, no link is followed: a child of a link has no folder (folder is empty).
    struct Location {
        UniqueFd folder;  // opened with O_PATH
        std::string name;
    };
    Location Locate() const;
    // Where the AppleDouble companion is, or would be made: "._" + name beside the item; when
    // that is absent, the one a Mac's zip archive left under the nearest ancestor's __MACOSX.
    Location Companion() const;

private:
    FolderItem(std::filesystem::path path, std::size_t depth);

    std::filesystem::path mPath;
    std::size_t mDepth = 0;  // trailing components added by TrueChild
};
