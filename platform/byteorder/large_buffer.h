// SPDX-License-Identifier: MIT
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace byteorder {

// Room for `size` bytes, not yet touched, asked for in huge pages where it is large: an executable
// of many megabytes read or assembled then costs a few page faults, not one for every 4 KiB.
inline void ReserveLarge(std::string& bytes, std::size_t size)
{
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    bytes.reserve(size);
    if (bytes.capacity() < 2 * kHuge) return;
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1),
                         end = (start + bytes.capacity()) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace byteorder
