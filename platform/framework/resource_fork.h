// SPDX-License-Identifier: MIT
#pragma once
// A file's resource fork, kept in its AppleDouble companion ("._" + name). Changes stay in the
// fork until Rewrite hands them over as the companion's new content, or Commit puts that in
// place at once, atomically like a BinaryStream. Released uncommitted, it changes nothing.

#include "file_error.h"
#include "file_replacement.h"
#include "folder_item.h"
#include "non_copyable.h"

#include <cstdint>
#include <memory>
#include <string>

class ResourceFork : NonCopyable {
public:
    ~ResourceFork();

    std::string GetResource(const std::string& type, std::int16_t id) const;  // "" when absent
    // Adds the resource, or replaces the data and name of the one of that type and ID.
    void AddResource(const std::string& data, const std::string& type, std::int16_t id,
                     const std::string& name);

    bool Changed() const;
    // The companion's new content; an error when the fork would not fit the format.
    FileError Rewrite(FileRewrite& rewrite) const;
    // Puts the companion in place now; no error when nothing was changed.
    FileError Commit();

private:
    friend class FolderItem;
    struct Impl;
    explicit ResourceFork(std::unique_ptr<Impl> impl);
    static ResourceForkRef Open(const FolderItem& item, bool readWrite, FileError& error);
    std::unique_ptr<Impl> mImpl;
};
