#pragma once
// A file-system item named by its path. Nothing here resolves symbolic links.

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
    explicit FolderItem(std::filesystem::path path) : mPath(std::move(path)) {}

    const std::filesystem::path& Path() const { return mPath; }

    bool Directory() const;          // false for a link, even to a folder
    bool Exists() const;             // the item itself (a dangling link exists)
    std::string DisplayName() const; // last path component, valid UTF-8
    std::string MacType() const;     // four bytes from the AppleDouble companion, or ""

    FolderItemRef TrueChild(const std::string& name) const;  // nil for an unusable name

    // Read-write; nil when the item cannot be opened so (a link is never followed).
    BinaryStreamRef OpenAsBinaryFile(bool readWrite) const;
    // Read-write; nil when the companion is malformed or cannot be written.
    ResourceForkRef OpenResourceFork() const;

private:
    std::filesystem::path mPath;
};
