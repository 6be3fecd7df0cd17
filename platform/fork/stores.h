// SPDX-License-Identifier: MIT
#pragma once
// The other places Linux file servers and emulators keep a Mac file's Finder info and fork:
// Samba's AFP_AfpInfo stream, netatalk's metadata attribute, an emulator's .finf file, and the
// streams Samba keeps in extended attributes (one attribute ending in a marker byte, or an anchor
// and its extents).

#include "error.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace macfork {

// The 32 bytes of Finder info (type first) in each store; an error when the store is damaged.
Result<std::string> AfpInfoFinderInfo(std::string_view stream);  // the AFP_AfpInfo stream
Result<std::string> NetatalkMetadataFinderInfo(std::string_view attribute);
Result<std::string> EmulatorFinderInfo(std::string_view file);  // 16 bytes are padded to 32

// How many extents follow a stream's first attribute (0: it holds the whole stream and its marker).
Result<unsigned> StreamExtents(std::string_view anchor);
// The stream held by the anchor and the extents it names, in order.
Result<std::string> JoinStream(std::string_view anchor, const std::vector<std::string>& extents);
// The attributes to hold `stream`, anchor first, in the fragment size of the anchor read
// (`fragment`): one attribute with its marker when it fits, else the anchor and at most
// `maxExtents` extents (TooLarge beyond).
Result<std::vector<std::string>> SplitStream(std::string_view stream, std::uint64_t fragment,
                                             unsigned maxExtents);

}  // namespace macfork
