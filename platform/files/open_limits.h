// SPDX-License-Identifier: MIT
#pragma once
// How large a file may be to be read whole: every reader and writer holds the whole content in
// memory, so these bound what any file on disk can make the program allocate.

#include <cstdint>

// Files and companions larger than this are not opened: the whole content is read at once,
// and no real application's property list comes near it (the largest known is some 70 KB).
inline constexpr std::int64_t kMaxOpenLength = std::int64_t(64) << 20;
// An application's main executable is read whole too, to check and renew its signature. The
// largest known are a few hundred MB (universal builds of big applications); one held in
// memory must still leave room on a small machine, so a larger one is not opened.
inline constexpr std::int64_t kMaxExecutableLength = std::int64_t(1) << 30;
