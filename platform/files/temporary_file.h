// SPDX-License-Identifier: MIT
#pragma once
// The new content's file, made beside the one it replaces (".veilor-XXXXXXXXXXXX.tmp"), locked
// while it lives so that no other run takes it for a leftover. Removed on release unless it was
// renamed into place. Making one first removes the leftovers of killed runs in that folder.

#include "file_error.h"
#include "unique_fd.h"

#include <sys/types.h>

#include <string>

class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { Discard(); }

    // In the open folder `folderFd`, which must stay open while the file lives.
    static TemporaryFile Create(int folderFd, mode_t mode, FileError& error);

    explicit operator bool() const { return bool(mFd); }
    int Fd() const { return mFd.Get(); }

    // Renames it over `name`; with `mustBeNew`, only where no `name` exists. Removed on failure.
    FileError RenameOver(const std::string& name, bool mustBeNew);
    void Discard();

private:
    int mFolder = -1;
    std::string mName;
    UniqueFd mFd;
};

// Removes temporary files of ours that no run holds locked in the open folder: what a killed run
// left behind, which a bundle's seal would take for a change.
void RemoveLeftovers(int folderFd);

// Whether `name` is one of ours, for tests and for the sweep.
bool IsTemporaryName(const std::string& name);
