// SPDX-License-Identifier: MIT
// Any companion that reads must write back byte for byte, and stay readable with a new fork.

#include "platform/fork/appledouble.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto file = macfork::ReadAppleDouble(bytes);
    if (!file) return 0;

    auto same = macfork::WriteAppleDouble(*file);
    if (!same || *same != bytes) std::abort();

    const auto* fork = macfork::FindEntry(*file, macfork::kResourceForkEntry);
    std::string newFork = fork ? fork->bytes : std::string();
    newFork.append(size % 97, 'r');
    if (!newFork.empty() && size % 2) newFork.resize(newFork.size() / 3);
    macfork::SetEntry(*file, macfork::kResourceForkEntry, newFork);
    auto written = macfork::WriteAppleDouble(*file);
    if (!written) return 0;
    auto again = macfork::ReadAppleDouble(*written);
    if (!again || macfork::FindEntry(*again, macfork::kResourceForkEntry)->bytes != newFork) std::abort();
    // A Finder info that had to move carries its attribute offsets along; all else is kept.
    for (const auto& entry : file->entries) {
        const auto* now = macfork::FindEntry(*again, entry.id);
        const bool moved = entry.id == macfork::kFinderInfoEntry && now->offset != entry.offset;
        if (!moved && now->bytes != entry.bytes) std::abort();
    }
    return 0;
}
