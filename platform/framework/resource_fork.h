// SPDX-License-Identifier: MIT
#pragma once
// A file's resource fork, from the store a Mac's server would read it from: Samba's AFP_Resource
// stream, the AppleDouble companion ("._" + name), netatalk 2's .AppleDouble/NAME, an emulator's
// .rsrc/NAME, or the companion an archive left under __MACOSX. Changes stay in the fork until
// Rewrite hands them over as that store's new content, in its own form, for the commit layer to
// put in place. Released before that, it changes nothing.

#include "folder_item.h"
#include "platform/files/file_error.h"
#include "platform/files/file_replacement.h"
#include "platform/files/non_copyable.h"

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

    // The store's new content, taken from the fork; an error when it would not fit the store, or
    // when no store held a fork (none is made).
    FileError Rewrite(FileRewrite& rewrite);

    struct Impl;

private:
    friend class FolderItem;
    explicit ResourceFork(std::unique_ptr<Impl> impl);
    static ResourceForkRef Open(const FolderItem& item, bool readWrite, FileError& error);
    std::unique_ptr<Impl> mImpl;
};
