// SPDX-License-Identifier: MIT
#pragma once
// A file-system item named by its path. Nothing here resolves symbolic links.
// The folders on the way are opened when first needed and shared by the item and the children
// TrueChild made of it, while in use or among the last few opened: their next steps act on the
// same folders, even when one is renamed meanwhile, and many items held hold few descriptors.

#include "platform/files/file_error.h"
#include "platform/files/open_folder.h"
#include "platform/files/open_limits.h"
#include "platform/files/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class FolderItem;
using FolderItemRef = std::shared_ptr<FolderItem>;
class BinaryStream;
using BinaryStreamRef = std::shared_ptr<BinaryStream>;
class ResourceFork;
using ResourceForkRef = std::shared_ptr<ResourceFork>;

class FolderItem {
public:
    explicit FolderItem(std::filesystem::path path);  // trailing separators are dropped

    const std::filesystem::path& Path() const { return mPath; }

    enum class Kind { Folder, File, Link, Other };
    // What the item itself is (a link is not followed); nothing when it cannot be looked at.
    std::optional<Kind> LookUpKind() const;
    bool Directory() const;  // false for a link, even to a folder
    // Where the link points; nothing when the item is not a link or cannot be read.
    std::optional<std::string> LinkTarget() const;
    // The item itself (a dangling link exists). Only an item known to be absent does not exist:
    // one that cannot be looked at (no permission, out of descriptors, an I/O error) counts as
    // there, so that opening it fails and says so.
    bool Exists() const;
    std::string DisplayName() const;  // last path component, valid UTF-8
    // Four bytes from the first store of the Finder info that holds a type (see ResourceFork for
    // the stores: the servers' attributes, the companion, .AppleDouble, .finf, __MACOSX), or "".
    std::string MacType() const;
    // MacType, or nothing when a store could not be looked at for another reason than its absence,
    // or holds what its writer never writes, so that a document is not told from an application
    // that could not be read.
    std::optional<std::string> LookUpMacType() const;

    FolderItemRef TrueChild(const std::string& name) const;  // nil for an unusable name
    // A bundle's property list, Contents/Info.plist, whether or not it exists.
    FolderItemRef BundleInfoPlist() const;

    // The limits of platform/files/open_limits.h, under the names callers know them by.
    static constexpr std::int64_t kMaxOpenLength = ::kMaxOpenLength;
    static constexpr std::int64_t kMaxExecutableLength = ::kMaxExecutableLength;

    // Read-write; nil when the item cannot be opened so (a link is never followed) or is longer
    // than `limit`. `error` says why.
    BinaryStreamRef OpenAsBinaryFile(bool readWrite) const;
    BinaryStreamRef OpenAsBinaryFile(bool readWrite, FileError& error,
                                     std::int64_t limit = kMaxOpenLength) const;
    // For content too large to hold whole: the file, opened as OpenAsBinaryFile opens it, handed to
    // `sink` piece by piece as read. False (errno set) when it is not a regular file or cannot be
    // read, is longer than `limit` (EFBIG, before anything is read), or the sink refused a piece.
    bool ReadInPieces(const std::function<bool(std::string_view)>& sink,
                      std::int64_t limit = kMaxExecutableLength) const;
    // The names in this folder, sorted; none when it is not a folder (a link is not) or cannot be read.
    std::vector<std::string> ChildNames() const;
    // The item as an open folder, for the libraries that walk folders by descriptor; a failed one
    // (its Error() set) when it is not a folder (a link is not) or cannot be opened.
    OpenFolder AsFolder() const;
    // Nil when the fork's store is malformed, longer than kMaxOpenLength, or cannot be written when
    // readWrite is set (a read-only fork refuses to commit changes).
    ResourceForkRef OpenResourceFork(bool readWrite = true) const;
    ResourceForkRef OpenResourceFork(bool readWrite, FileError& error) const;

    // The open folder that holds the item and the item's name in it. Below the path the item
    // was made from, no link is followed: a child of a link has no folder (folder is empty).
    struct Location {
        SharedFd folder;  // opened with O_PATH
        std::string name;
    };
    Location Locate() const;
    // Where the AppleDouble companion is, or would be made: "._" + name beside the item; when
    // that is absent, the one a Mac's zip archive left under the nearest ancestor's __MACOSX.
    // Ancestors are the real folders above the item, looked in only while each is on the item's
    // device, owned by us or root and writable by no one else. No folder, with errno set, when a
    // folder that had to be looked in could not be.
    Location Companion() const;

private:
    // A folder opened once, for every item it holds. One that cannot be opened is tried again
    // at the next use.
    class Folder {
    public:
        explicit Folder(std::filesystem::path path) : mPath(std::move(path)) {}
        Folder(std::shared_ptr<Folder> parent, std::string name)
            : mParent(std::move(parent)), mName(std::move(name))
        {
        }
        // Empty, with errno set by the failed open, when it cannot be opened.
        SharedFd Open();
        // The folder `name` in this one: the same one for every item that asks while it is in use.
        static std::shared_ptr<Folder> Child(const std::shared_ptr<Folder>& parent, const std::string& name);

    private:
        std::shared_ptr<Folder> mParent;  // nil: mPath, links in it followed, as the user named it
        std::string mName;                // in mParent, never a link
        std::filesystem::path mPath;
        std::mutex mMutex;
        std::weak_ptr<const UniqueFd> mFd;
        std::vector<std::weak_ptr<Folder>> mChildren;
    };

    FolderItem(std::filesystem::path path, std::size_t depth, std::shared_ptr<Folder> holder);

    std::filesystem::path mPath;
    std::size_t mDepth = 0;  // trailing components added by TrueChild
    std::string mName;       // in the holding folder
    std::shared_ptr<Folder> mHolder;
    std::shared_ptr<Folder> mAsFolder;  // the item itself, as its children's holder
};
