// SPDX-License-Identifier: MIT
#pragma once
// A folder held open by its descriptor, and what is in it looked at, listed and read through that
// descriptor: below the folder first opened, no symbolic link is ever followed, and nothing is
// listed or read without a bound.

#include "file_error.h"
#include "file_replacement.h"
#include "unique_fd.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class OpenFolder {
public:
    OpenFolder() = default;
    // A folder opened already (with O_PATH, say), or one that could not be, with the open's errno.
    explicit OpenFolder(SharedFd folder, int error = 0) : mFd(std::move(folder)), mError(mFd ? 0 : error) {}
    // `path` as the user named it, links in it followed.
    static OpenFolder At(const std::filesystem::path& path);

    // Empty when it could not be opened: Error() is the errno of that open.
    explicit operator bool() const { return bool(mFd); }
    int Error() const { return mError; }
    const SharedFd& Fd() const { return mFd; }

    // The folder `name` in this one, never through a link (ELOOP, or ENOTDIR for a link on
    // some systems) and never for a name that is not one item's (EINVAL).
    OpenFolder Child(const std::string& name) const;

    enum class Kind { Folder, File, Link, Other };
    struct Item {
        Kind kind;
        unsigned mode;  // the permission bits
        std::int64_t size;
    };
    // What `name` is, a link not followed; nothing (errno set) when it cannot be looked at.
    std::optional<Item> LookUp(const std::string& name) const;
    std::optional<Kind> KindOf(const std::string& name) const;
    // Whether `name` may be there: only an item known to be absent is not (errno set then), also
    // when this folder could not be opened.
    bool Holds(const std::string& name) const;
    // Where the link `name` points; nothing when it is no link or cannot be read.
    std::optional<std::string> LinkTarget(const std::string& name) const;
    // The names in this folder, sorted; nothing (errno set) when it cannot be read, or (E2BIG)
    // when it holds more than `most`.
    std::optional<std::vector<std::string>> Names(std::size_t most) const;

    // The regular file `name`, handed to `sink` piece by piece as read. False (errno set) when it
    // is no regular file or cannot be read, is longer than `limit` (EFBIG, also when it grows
    // past it while read), or the sink refused a piece.
    bool ReadPieces(const std::string& name, const std::function<bool(std::string_view)>& sink,
                    std::int64_t limit) const;
    // The regular file `name` whole, to be rewritten: a write into it that was cut short is put
    // back first (RecoverInterruptedWrite), and what it was when opened is kept, so that its
    // replacement refuses a file changed meanwhile. Refused (Open, EFBIG) when longer than `limit`.
    FileError ReadWhole(const std::string& name, std::int64_t limit, FileRewrite& read,
                        bool readWrite = false) const;

    // What a failed look-up proves: that the item, or a folder on its way, is not there.
    static bool Absent(int error) { return error == ENOENT || error == ENOTDIR; }

    // Whether `name` names one item in a folder: not empty, ".", "..", nor holding '/' or NUL.
    static bool IsName(const std::string& name);

private:
    SharedFd mFd;
    int mError = 0;
};
