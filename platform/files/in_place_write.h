// SPDX-License-Identifier: MIT
#pragma once
// Writes new content into a file's own inode, for a file that must keep it (other names, an
// owner or attributes a new file could not carry). Crash-safe through a rollback journal: the old
// content goes first to a locked journal beside the file (".veilor-<hash>.journal"), flushed;
// then the file is written, cut to length and flushed; then the journal goes. A run that finds a
// journal whose writer is gone puts the old content back before it reads the file.

#include "file_error.h"
#include "file_identity.h"

#include <string>
#include <string_view>

// Only while `name` in `folderFd` is still what `expected` says; the caller has passed the
// commit's fault seam.
FileError WriteInPlace(int folderFd, const std::string& name, std::string_view bytes,
                       const FileIdentity& expected);

// Puts back the old content of `name` if a write into it was cut short (a killed or crashed run);
// false when a journal is there but the file could not be mended (then it must not be used).
bool RecoverInterruptedWrite(int folderFd, const std::string& name);

// The journal's name for `name`: fixed, so that finding it costs one look-up.
std::string JournalName(const std::string& name);
