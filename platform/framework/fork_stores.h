// SPDX-License-Identifier: MIT
#pragma once
// The places besides the companion where Linux servers and emulators keep an item's Finder info
// and fork: extended attributes of the file itself (Samba, netatalk) and helper folders beside it
// (netatalk 2's .AppleDouble, the emulators' .finf and .rsrc), looked in by FolderItem and
// ResourceFork in the order that says which one the Mac sees.

#include "platform/files/unique_fd.h"

#include <sys/stat.h>

#include <optional>
#include <string>

namespace forkstore {

inline const std::string kAfpInfo = "user.DosStream.AFP_AfpInfo:$DATA";
inline const std::string kNetatalkMetadata = "user.org.netatalk.Metadata";
inline const std::string kResource = "user.DosStream.AFP_Resource:$DATA";
std::string ResourceExtent(unsigned number);  // the name of the stream's extent `number` (from 1)

inline const char* const kAppleDoubleFolder = ".AppleDouble";
inline const char* const kFinderInfoFolder = ".finf";
inline const char* const kForkFolder = ".rsrc";

// A folder no one but us can have put a store in or moved one to: a real folder on `device`,
// owned by us or root and writable by no one else (the user's private group counts as the user).
bool Trusted(const struct stat& folder, dev_t device);

// The helper folder `name` in the open folder `folder`, never through a link, when it is Trusted;
// nothing with errno ENOENT when absent or not trusted, another errno when it could not be looked at.
UniqueFd HelperFolder(int folder, const char* name);

// The attribute of the open file, at most 65,536 bytes; nothing with errno ENODATA when it is
// absent (or the file system keeps none), another errno when it could not be read.
std::optional<std::string> ReadAttribute(int fd, const std::string& name);

}  // namespace forkstore
