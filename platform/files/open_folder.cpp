// SPDX-License-Identifier: MIT
#include "open_folder.h"

#include "fd_io.h"
#include "in_place_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC;

}  // namespace

OpenFolder OpenFolder::At(const std::filesystem::path& path)
{
    OpenFolder folder(SharedFd(UniqueFd(::open(path.c_str(), kFolder))));
    if (!folder) folder.mError = errno;
    return folder;
}

bool OpenFolder::IsName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

OpenFolder OpenFolder::Child(const std::string& name) const
{
    OpenFolder child;
    if (!mFd || !IsName(name)) {
        child.mError = mFd ? EINVAL : mError;
    } else {
        child.mFd = SharedFd(UniqueFd(::openat(mFd.Get(), name.c_str(), kFolder | O_NOFOLLOW)));
        if (!child) child.mError = errno;
    }
    errno = child.mError;
    return child;
}

std::optional<OpenFolder::Kind> OpenFolder::KindOf(const std::string& name) const
{
    const std::optional<Item> item = LookUp(name);
    return item ? std::optional(item->kind) : std::nullopt;
}

std::optional<OpenFolder::Item> OpenFolder::LookUp(const std::string& name) const
{
    struct stat info {};
    if (!mFd) {
        errno = mError;
        return std::nullopt;
    }
    if (!IsName(name)) {
        errno = EINVAL;
        return std::nullopt;
    }
    if (::fstatat(mFd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    const Kind kind = S_ISDIR(info.st_mode)   ? Kind::Folder
                      : S_ISREG(info.st_mode) ? Kind::File
                      : S_ISLNK(info.st_mode) ? Kind::Link
                                              : Kind::Other;
    return Item{kind, unsigned(info.st_mode & 07777), std::int64_t(info.st_size)};
}

bool OpenFolder::Holds(const std::string& name) const
{
    return KindOf(name) || !Absent(errno);
}

std::optional<std::string> OpenFolder::LinkTarget(const std::string& name) const
{
    if (!mFd || !IsName(name)) return std::nullopt;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(mFd.Get(), name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    return target;
}

std::optional<std::vector<std::string>> OpenFolder::Names(std::size_t most) const
{
    if (!mFd) {
        errno = mError;
        return std::nullopt;
    }
    // The entries straight from the kernel: a directory stream would cost three calls more.
    UniqueFd fd(::openat(mFd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::vector<std::string> names;
    alignas(dirent64) char buffer[16384];
    ssize_t got = 0;
    errno = 0;
    while ((got = ::getdents64(fd.Get(), buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (names.size() == most) {
                errno = E2BIG;
                return std::nullopt;
            }
            names.emplace_back(name);
        }
    }
    if (got < 0) return std::nullopt;
    if (errno != 0) return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

bool OpenFolder::ReadPieces(const std::string& name, const std::function<bool(std::string_view)>& sink,
                            std::int64_t limit) const
{
    FileIdentity opened;
    UniqueFd fd = mFd && IsName(name) ? OpenRegularAt(mFd.Get(), name, false, opened) : UniqueFd();
    if (!fd) {
        if (!mFd)
            errno = mError;
        else if (!IsName(name))
            errno = EINVAL;
        return false;
    }
    if (opened.size > limit) {
        errno = EFBIG;
        return false;
    }
    // One that grows while read is cut off at the limit too.
    std::int64_t read = 0;
    return ::ReadPieces(fd.Get(), [&](std::string_view piece) {
        if ((read += std::int64_t(piece.size())) > limit) {
            errno = EFBIG;
            return false;
        }
        return sink(piece);
    });
}

FileError OpenFolder::ReadWhole(const std::string& name, std::int64_t limit, FileRewrite& read,
                                bool readWrite) const
{
    if (!mFd || !IsName(name)) return {FileStep::Open, mFd ? EINVAL : mError};
    if (FileError error = RecoverInterruptedWrite(mFd.Get(), name)) return error;
    // What the file was before it was read: an edit during the read makes the commit refuse.
    FileIdentity identity;
    UniqueFd fd = OpenRegularAt(mFd.Get(), name, readWrite, identity);
    if (!fd) return FailedAt(FileStep::Open);
    if (identity.size > limit) return {FileStep::Open, EFBIG};
    // Straight into the string, the size it had in one read, then whatever it has grown by.
    std::string bytes(static_cast<std::size_t>(identity.size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.Get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailedAt(FileStep::Open);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    const auto append = [&](std::string_view piece) {
        if (static_cast<std::int64_t>(bytes.size() + piece.size()) > limit) {
            errno = EFBIG;
            return false;
        }
        bytes.append(piece);
        return true;
    };
    if (got == static_cast<std::size_t>(identity.size) && !::ReadPieces(fd.Get(), append))
        return FailedAt(FileStep::Open);
    read = {mFd, name, identity, std::move(bytes), limit};
    return {};
}
