// SPDX-License-Identifier: MIT
#pragma once
// Reading an AppleDouble companion, shared by FolderItem (its Mac type) and ResourceFork.

#include "folder_item.h"
#include "platform/files/fd_io.h"
#include "platform/files/unique_fd.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

// The companion opened with `access`, `info` filled in; no fd (errno set) for anything but a
// regular file.
UniqueFd OpenCompanion(const FolderItem::Location& companion, int access, struct stat& info);
