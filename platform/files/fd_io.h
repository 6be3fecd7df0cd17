// SPDX-License-Identifier: MIT
#pragma once
// Whole reads and writes of an open file, through short counts and interruptions.

#include "file_identity.h"
#include "unique_fd.h"

#include "platform/byteorder/large_buffer.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// `name` in `folder`, opened for its content: never through a link, never waiting on a FIFO nor
// becoming a terminal's. Empty (errno set, EINVAL for anything but a regular file) when it cannot be
// opened so. `opened` is what it was then, before anything was read.
UniqueFd OpenRegularAt(int folder, const std::string& name, bool readWrite, FileIdentity& opened);
// From the file's offset to its end, handed to `sink` piece by piece as read. False (errno set) on a
// read error, or when the sink refuses a piece (setting errno itself).
bool ReadPieces(int fd, const std::function<bool(std::string_view)>& sink);

// The content of the regular file `fd`, opened read-only as `opened` says. Where a read lease can be
// had (our own file on a local disk or tmpfs, nobody holding it open for writing) the file's own pages
// are mapped: until the mapping and every mapping of the same file are gone, anyone who opens it
// for writing or truncates it waits (the system's lease-break time, 45 s by default), so the bytes
// are stable without a copy. Elsewhere they are read. `mapped` says which. Fewer bytes than
// `opened.size` when the file shrank; none (errno set) on a read error.
std::optional<byteorder::LargeBytes> ReadLarge(int fd, const FileIdentity& opened, bool* mapped = nullptr);

// Up to `length` bytes at `offset`; fewer at the end of the file, nothing (errno set) on a read error.
std::optional<std::string> ReadAt(int fd, std::uint64_t offset, std::uint64_t length);
// Flushes an open folder. True also where the file system cannot flush folders (EINVAL, EBADF):
// that changes nothing there.
bool SyncFolder(int folderFd);
// False (errno set) unless every byte was written.
bool WriteAllAt(int fd, std::string_view bytes, off_t offset = 0);
