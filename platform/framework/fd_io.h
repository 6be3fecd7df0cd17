// SPDX-License-Identifier: MIT
#pragma once
// Whole reads and writes at an offset of an open file, through short counts and interruptions.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Up to `length` bytes at `offset`; fewer at the end of the file, nothing (errno set) on a read error.
std::optional<std::string> ReadAt(int fd, std::uint64_t offset, std::uint64_t length);
// False (errno set) unless every byte was written.
bool WriteAllAt(int fd, std::string_view bytes, off_t offset = 0);
