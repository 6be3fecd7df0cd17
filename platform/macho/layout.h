// SPDX-License-Identifier: MIT
#pragma once
// Where a slice's signature can go: the load commands and segments that decide it, and the slice
// made ready with room for a signature of a given size, as Apple's signer allocates it. Universal
// files are laid out again around slices that changed size.

#include "error.h"

#include "platform/byteorder/large_buffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace macho {

struct SliceLayout {
    bool is64 = false, bigEndian = false;
    std::uint32_t cputype = 0, cpusubtype = 0, filetype = 0;
    std::uint32_t headerSize = 0, ncmds = 0, sizeofcmds = 0;
    std::uint64_t signatureCommand = 0;  // from the slice's start; 0: none
    std::uint32_t dataOffset = 0, dataSize = 0;
    std::uint64_t linkeditCommand = 0;  // 0: no __LINKEDIT
    std::uint64_t linkeditOffset = 0, linkeditSize = 0, linkeditVmSize = 0;
    std::uint64_t textOffset = 0, textSize = 0;
    bool versionCommand = false;  // LC_BUILD_VERSION or LC_VERSION_MIN_*
    std::uint32_t platform = 0, minos = 0;
    std::uint64_t commandRoom = 0;  // where the load commands may end: the first section's bytes
    std::string_view uuid;          // LC_UUID's 16 bytes, if any
};

Result<SliceLayout> ReadLayout(std::string_view slice, std::uint64_t fileOffset);

// Where a signature of at least `size` bytes goes: the old area when it is large enough, else the
// area grown at the end of __LINKEDIT, or added with a new LC_CODE_SIGNATURE in the header's padding.
struct Room {
    enum class Kind { Kept, Grown, Added };
    Kind kind = Kind::Kept;
    std::uint32_t dataOffset = 0, dataSize = 0;
    std::uint64_t length = 0;  // the slice's new length
};
Result<Room> PlanRoom(std::string_view slice, const SliceLayout& layout, std::uint32_t size);
// How many of the slice's bytes come into the slice with that room as they are.
std::uint64_t KeptBytes(std::string_view slice, const Room& room);
// The slice with that room, written to `out` (room.length bytes, zeros but for the first `held`,
// which are the slice's own already): the area zero-filled, and only the load commands' sizes
// changed in the bytes before it.
void MakeRoom(std::string_view slice, const SliceLayout& layout, const Room& room, char* out,
              std::uint64_t held = 0);

struct FatEntry {
    std::uint32_t cputype = 0, cpusubtype = 0, align = 0;
    std::uint64_t offset = 0, size = 0;
};
struct FatHeader {
    bool wide = false, bigEndian = true;
    std::vector<FatEntry> entries;  // in the header's order
};
// The universal header, or none for a thin file (ReadMachO has checked it).
std::optional<FatHeader> ReadFatHeader(std::string_view file);

// A universal file for slices of these lengths in the header's order: each at the next 16 KiB
// boundary, aligned so, the file ending with the last slice. `out` gets the header and zeros; the
// slices' offsets are returned.
Result<std::vector<std::uint64_t>> LayOutUniversal(const FatHeader& header,
                                                   const std::vector<std::uint64_t>& lengths,
                                                   byteorder::LargeBytes& out);

}  // namespace macho
