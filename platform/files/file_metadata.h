// SPDX-License-Identifier: MIT
#pragma once
// Everything Linux keeps beside a file's content: owner and group, mode (set-user-ID and
// set-group-ID included), and extended attributes (the ACL and file capabilities among them).

#include "file_error.h"

#include <sys/stat.h>

// Gives `copyFd` the metadata of `original` (opened as `originalFd`), then checks that it holds.
// Called once the copy's content is written: writing clears set-user-ID bits and capabilities.
// A failure means only the original's own inode can keep its metadata.
FileError CarryMetadata(int originalFd, const struct stat& original, int copyFd);
