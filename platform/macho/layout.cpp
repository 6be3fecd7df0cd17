// SPDX-License-Identifier: MIT
#include "layout.h"

#include "cursor.h"

#include "platform/byteorder/large_buffer.h"

#include <algorithm>

namespace macho {

namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMagic = 0xfeedface, kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kSegment = 0x1, kSegment64 = 0x19, kCodeSignature = 0x1d, kUuid = 0x1b;
constexpr std::uint32_t kBuildVersion = 0x32;
constexpr std::uint32_t kExecute = 2, kDylib = 6, kDylinker = 7, kBundle = 8, kKextBundle = 0xb;
// Apple's allocator rounds __LINKEDIT's size in memory and places slices at this boundary on every
// architecture.
constexpr std::uint64_t kSegmentAlign = 0x4000;
constexpr std::uint32_t kSliceAlignLog2 = 14;
constexpr std::uint64_t kMax32 = 0xffffffffu;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t to)
{
    return (value + to - 1) / to * to;
}

void Set(char* out, std::uint64_t at, std::uint64_t value, int width, bool bigEndian)
{
    for (int i = 0; i < width; ++i) {
        const int shift = bigEndian ? (width - 1 - i) * 8 : i * 8;
        out[at + std::uint64_t(i)] = static_cast<char>((value >> shift) & 0xff);
    }
}

// The platform LC_VERSION_MIN_* stands for, by its command number.
std::uint32_t VersionMinPlatform(std::uint32_t cmd)
{
    switch (cmd) {
    case 0x24: return 1;  // macOS
    case 0x25: return 2;  // iOS
    case 0x2f: return 3;  // tvOS
    case 0x30: return 4;  // watchOS
    default: return 0;
    }
}

bool IsZeroFill(std::uint32_t sectionFlags)
{
    const std::uint32_t type = sectionFlags & 0xff;
    return type == 0x1 || type == 0xc || type == 0x12;
}

// A segment's fields and the file offset of its first section with bytes in the file.
void ReadSegment(const Cursor& command, bool is64, SliceLayout& layout, std::uint64_t at)
{
    const std::string_view name = command.Bytes(8, 16);
    const std::uint64_t fileoff = is64 ? command.U64(40) : command.U32(32);
    const std::uint64_t filesize = is64 ? command.U64(48) : command.U32(36);
    const std::uint32_t nsects = command.U32(is64 ? 64 : 48);
    const std::uint64_t first = is64 ? 72 : 56, sectionSize = is64 ? 80 : 68;
    if (name.substr(0, 11) == std::string_view("__LINKEDIT\0", 11)) {
        layout.linkeditCommand = at;
        layout.linkeditOffset = fileoff;
        layout.linkeditSize = filesize;
        layout.linkeditVmSize = is64 ? command.U64(32) : command.U32(28);
    }
    if (name.substr(0, 7) == std::string_view("__TEXT\0", 7)) {
        layout.textOffset = fileoff;
        layout.textSize = filesize;
    }
    if (fileoff != 0 || filesize == 0) return;
    std::uint64_t room = filesize;
    for (std::uint64_t i = 0; i < nsects && command.Holds(first + i * sectionSize, sectionSize); ++i) {
        const std::uint64_t section = first + i * sectionSize;
        const std::uint32_t offset = command.U32(section + (is64 ? 48 : 40));
        const std::uint32_t flags = command.U32(section + (is64 ? 64 : 56));
        if (offset != 0 && !IsZeroFill(flags)) room = std::min<std::uint64_t>(room, offset);
    }
    layout.commandRoom = room;
}

}  // namespace

Result<SliceLayout> ReadLayout(std::string_view bytes, std::uint64_t fileOffset)
{
    const Cursor raw(bytes, fileOffset, true);
    const std::uint32_t magic = raw.U32(0), swapped = raw.InByteOrder(false).U32(0);
    SliceLayout layout;
    layout.bigEndian = magic == kMagic || magic == kMagic64;
    if (!layout.bigEndian && swapped != kMagic && swapped != kMagic64)
        return Error{ErrorKind::NotMachO, fileOffset};
    const Cursor slice = raw.InByteOrder(layout.bigEndian);
    layout.is64 = slice.U32(0) == kMagic64;
    layout.headerSize = layout.is64 ? 32 : 28;
    if (!slice.Holds(0, layout.headerSize)) return Error{ErrorKind::Truncated, fileOffset};
    layout.cputype = slice.U32(4);
    layout.cpusubtype = slice.U32(8);
    layout.filetype = slice.U32(12);
    layout.ncmds = slice.U32(16);
    layout.sizeofcmds = slice.U32(20);
    const std::uint32_t type = layout.filetype;
    if (type != kExecute && type != kDylib && type != kDylinker && type != kBundle && type != kKextBundle)
        return Error{ErrorKind::UnsupportedFileType, fileOffset + 12};
    const std::optional<Cursor> commands = slice.Window(layout.headerSize, layout.sizeofcmds);
    if (!commands) return Error{ErrorKind::Truncated, fileOffset + 20};

    std::uint64_t at = 0, lastSegmentEnd = 0;
    for (std::uint32_t i = 0; i < layout.ncmds; ++i) {
        const std::uint32_t cmd = commands->U32(at), cmdsize = commands->U32(at + 4);
        const std::optional<Cursor> command = commands->Window(at, cmdsize);
        if (!commands->Holds(at, 8) || cmdsize < 8 || cmdsize % 4 != 0 || !command)
            return Error{ErrorKind::BadLoadCommand, commands->FileOffset(at)};
        const std::uint64_t inSlice = layout.headerSize + at;
        if (cmd == kSegment || cmd == kSegment64) {
            const bool is64 = cmd == kSegment64;
            if (cmdsize < (is64 ? 72u : 56u)) return Error{ErrorKind::BadLoadCommand, command->FileOffset(0)};
            ReadSegment(*command, is64, layout, inSlice);
            const std::uint64_t fileoff = is64 ? command->U64(40) : command->U32(32);
            const std::uint64_t filesize = is64 ? command->U64(48) : command->U32(36);
            if (filesize != 0) lastSegmentEnd = std::max(lastSegmentEnd, fileoff);
        } else if (cmd == kCodeSignature) {
            if (cmdsize < 16 || layout.signatureCommand)
                return Error{ErrorKind::BadLoadCommand, command->FileOffset(0)};
            layout.signatureCommand = inSlice;
            layout.dataOffset = command->U32(8);
            layout.dataSize = command->U32(12);
        } else if (cmd == kBuildVersion && cmdsize >= 16) {
            layout.versionCommand = true;
            layout.platform = command->U32(8);
            layout.minos = command->U32(12);
        } else if (VersionMinPlatform(cmd) != 0 && cmdsize >= 16) {
            layout.versionCommand = true;
            layout.platform = VersionMinPlatform(cmd);
            layout.minos = command->U32(8);
        } else if (cmd == kUuid && cmdsize >= 24) {
            layout.uuid = command->Bytes(8, 16);
        }
        at += cmdsize;
    }
    // The signature must be the last thing in __LINKEDIT and __LINKEDIT the last segment in the file.
    if (layout.linkeditCommand && layout.linkeditOffset < lastSegmentEnd) layout.linkeditCommand = 0;
    if (layout.linkeditCommand && layout.linkeditOffset > bytes.size()) layout.linkeditCommand = 0;
    return layout;
}

Result<Room> PlanRoom(std::string_view bytes, const SliceLayout& layout, std::uint32_t size)
{
    Room room;
    if (layout.signatureCommand && size <= layout.dataSize &&
        std::uint64_t(layout.dataOffset) + layout.dataSize <= bytes.size()) {
        room.dataOffset = layout.dataOffset;
        room.dataSize = layout.dataSize;
        room.length = bytes.size();
        return room;
    }
    if (!layout.linkeditCommand) return Error{ErrorKind::NoLinkedit, 0};
    std::uint64_t dataOffset = 0;
    if (layout.signatureCommand) {
        // Apple's allocator allows the linker's padding of up to 7 bytes after the old area.
        if (std::uint64_t(layout.dataOffset) + layout.dataSize + 7 < bytes.size() ||
            layout.dataOffset > bytes.size() || layout.dataOffset < layout.linkeditOffset)
            return Error{ErrorKind::SignatureNotLast, layout.signatureCommand};
        room.kind = Room::Kind::Grown;
        dataOffset = layout.dataOffset;
    } else {
        const std::uint64_t commandsEnd = std::uint64_t(layout.headerSize) + layout.sizeofcmds;
        if (commandsEnd + 16 > layout.commandRoom || commandsEnd + 16 > bytes.size() ||
            bytes.substr(commandsEnd, 16).find_first_not_of('\0') != std::string_view::npos)
            return Error{ErrorKind::NoRoomForSignature, commandsEnd};
        room.kind = Room::Kind::Added;
        dataOffset = AlignUp(bytes.size(), 16);
    }
    if (dataOffset + size > kMax32) return Error{ErrorKind::TooLarge, 0};
    room.dataOffset = std::uint32_t(dataOffset);
    room.dataSize = size;
    room.length = dataOffset + size;
    return room;
}

std::uint64_t KeptBytes(std::string_view bytes, const Room& room)
{
    return std::min<std::uint64_t>(room.kind == Room::Kind::Grown ? room.dataOffset : bytes.size(),
                                   room.length);
}

void MakeRoom(std::string_view bytes, const SliceLayout& layout, const Room& room, char* out,
              std::uint64_t held)
{
    const std::uint64_t kept = KeptBytes(bytes, room);
    held = std::min(held, kept);
    std::copy(bytes.data() + held, bytes.data() + kept, out + held);
    if (room.dataOffset < kept)
        std::fill_n(out + room.dataOffset, std::min<std::uint64_t>(room.dataSize, kept - room.dataOffset),
                    '\0');
    if (room.kind == Room::Kind::Kept) return;
    const bool be = layout.bigEndian;
    if (room.kind == Room::Kind::Grown) {
        Set(out, layout.signatureCommand + 12, room.dataSize, 4, be);
    } else {
        const std::uint64_t commandsEnd = std::uint64_t(layout.headerSize) + layout.sizeofcmds;
        Set(out, commandsEnd, kCodeSignature, 4, be);
        Set(out, commandsEnd + 4, 16, 4, be);
        Set(out, commandsEnd + 8, room.dataOffset, 4, be);
        Set(out, commandsEnd + 12, room.dataSize, 4, be);
        Set(out, 16, layout.ncmds + 1, 4, be);
        Set(out, 20, layout.sizeofcmds + 16, 4, be);
    }
    const std::uint64_t filesize = room.length - layout.linkeditOffset;
    const std::uint64_t vmsize = AlignUp(filesize, kSegmentAlign);
    const std::uint64_t segment = layout.linkeditCommand;
    if (layout.is64) {
        Set(out, segment + 32, vmsize, 8, be);
        Set(out, segment + 48, filesize, 8, be);
    } else {
        Set(out, segment + 28, vmsize, 4, be);
        Set(out, segment + 36, filesize, 4, be);
    }
}

std::optional<FatHeader> ReadFatHeader(std::string_view file)
{
    const Cursor big(file, 0, true);
    const std::uint32_t magic = big.U32(0), swapped = big.InByteOrder(false).U32(0);
    const bool fatBig = magic == kFatMagic || magic == kFatMagic64;
    if (!fatBig && swapped != kFatMagic && swapped != kFatMagic64) return std::nullopt;
    const Cursor fat = big.InByteOrder(fatBig);
    FatHeader header;
    header.bigEndian = fatBig;
    header.wide = fat.U32(0) == kFatMagic64;
    const std::uint64_t entrySize = header.wide ? 32 : 20;
    for (std::uint32_t i = 0; i < fat.U32(4); ++i) {
        const std::uint64_t at = 8 + i * entrySize;
        if (!fat.Holds(at, entrySize)) break;
        FatEntry entry;
        entry.cputype = fat.U32(at);
        entry.cpusubtype = fat.U32(at + 4);
        entry.offset = header.wide ? fat.U64(at + 8) : fat.U32(at + 8);
        entry.size = header.wide ? fat.U64(at + 16) : fat.U32(at + 12);
        entry.align = fat.U32(at + (header.wide ? 24 : 16));
        header.entries.push_back(entry);
    }
    return header;
}

Result<std::vector<std::uint64_t>> LayOutUniversal(const FatHeader& header,
                                                   const std::vector<std::uint64_t>& lengths,
                                                   byteorder::LargeBytes& out)
{
    const int wide = header.wide ? 8 : 4;
    const std::uint64_t entrySize = header.wide ? 32 : 20;
    std::vector<std::uint64_t> offsets;
    std::uint64_t end = 8 + entrySize * lengths.size();
    for (const std::uint64_t length : lengths) {
        offsets.push_back(AlignUp(end, kSegmentAlign));
        end = offsets.back() + length;
        if (!header.wide && end > kMax32) return Error{ErrorKind::TooLarge, 0};
    }
    out = byteorder::LargeBytes::Zeros(end);
    if (out.empty()) return Error{ErrorKind::TooLarge, 0};
    Set(out.data(), 0, header.wide ? kFatMagic64 : kFatMagic, 4, header.bigEndian);
    Set(out.data(), 4, lengths.size(), 4, header.bigEndian);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::uint64_t at = 8 + i * entrySize;
        Set(out.data(), at, header.entries[i].cputype, 4, header.bigEndian);
        Set(out.data(), at + 4, header.entries[i].cpusubtype, 4, header.bigEndian);
        Set(out.data(), at + 8, offsets[i], wide, header.bigEndian);
        Set(out.data(), at + 8 + std::uint64_t(wide), lengths[i], wide, header.bigEndian);
        Set(out.data(), at + 8 + 2 * std::uint64_t(wide), kSliceAlignLog2, 4, header.bigEndian);
    }
    return offsets;
}

}  // namespace macho
