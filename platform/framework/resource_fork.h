// SPDX-License-Identifier: MIT
#pragma once
// A file's resource fork, kept in its AppleDouble companion ("._" + name). Changes are
// committed when the fork is released (or by Commit), atomically like a BinaryStream.

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

    bool Commit();

private:
    friend class FolderItem;
    struct Impl;
    explicit ResourceFork(std::unique_ptr<Impl> impl);
    static ResourceForkRef Open(const FolderItem& item, bool readWrite);
    std::unique_ptr<Impl> mImpl;
};
