// SPDX-License-Identifier: MIT
#include "macho.h"

#include "cursor.h"
#include "digest.h"

#include <algorithm>
#include <unordered_set>

namespace macho {

namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMagic = 0xfeedface, kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kSuperBlobMagic = 0xfade0cc0;
constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t kSegment = 0x1, kSymtab = 0x2, kSegment64 = 0x19, kCodeSignature = 0x1d;
constexpr std::uint32_t kEncryptionInfo = 0x21, kEncryptionInfo64 = 0x2c;
constexpr std::uint32_t kEarliestVersion = 0x20001, kLatestVersion = 0x206ff;

std::optional<std::uint32_t> ExpectedMagic(std::uint32_t type)
{
    if (type == kCodeDirectorySlot || (type >= kFirstAlternateSlot && type <= kLastAlternateSlot))
        return kCodeDirectoryMagic;
    if (type == kRequirementsSlot) return 0xfade0c01;
    if (type == kEntitlementsSlot) return 0xfade7171;
    if (type == kDerEntitlementsSlot) return 0xfade7172;
    if (type >= kFirstConstraintSlot && type <= kLastConstraintSlot) return 0xfade8181;
    if (type == kCmsSlot) return 0xfade0b01;
    return std::nullopt;
}

// The NUL-terminated text at `at`, or nothing when it is not terminated inside the blob.
std::optional<std::string> CString(const Cursor& blob, std::uint64_t at)
{
    if (at >= blob.size()) return std::nullopt;
    const std::string_view rest = blob.bytes().substr(at);
    const std::size_t end = rest.find('\0');
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(rest.substr(0, end));
}

Result<CodeDirectory> ReadCodeDirectory(const Cursor& blob, std::uint32_t slot, std::uint64_t signatureStart)
{
    CodeDirectory cd;
    cd.slot = slot;
    cd.bytes = blob.bytes();
    cd.version = blob.U32(8);
    if (!blob.Holds(0, 44)) return Error{ErrorKind::Truncated, blob.FileOffset(0)};
    if (cd.version < kEarliestVersion || cd.version > kLatestVersion)
        return Error{ErrorKind::UnsupportedVersion, blob.FileOffset(8)};
    if (!blob.Holds(0, CodeDirectory::HeaderSize(cd.version)))
        return Error{ErrorKind::Truncated, blob.FileOffset(0)};
    cd.flags = blob.U32(12);
    cd.hashOffset = blob.U32(16);
    const std::uint32_t identOffset = blob.U32(20);
    cd.nSpecialSlots = blob.U32(24);
    cd.nCodeSlots = blob.U32(28);
    cd.codeLimit = blob.U32(32);
    cd.hashSize = std::uint8_t(blob.U8(36));
    cd.hashType = std::uint8_t(blob.U8(37));
    cd.platform = std::uint8_t(blob.U8(38));
    cd.pageSize = std::uint8_t(blob.U8(39));
    if (cd.version >= 0x20100) cd.scatterOffset = blob.U32(44);
    if (cd.version >= 0x20200) cd.teamOffset = blob.U32(48);
    if (cd.version >= 0x20300 && blob.U64(56) != 0) cd.codeLimit = blob.U64(56);

    if (HashSize(cd.hashType) == 0 || cd.hashSize != HashSize(cd.hashType))
        return Error{ErrorKind::BadHashType, blob.FileOffset(36)};
    if (cd.pageSize > 31) return Error{ErrorKind::BadPageSize, blob.FileOffset(39)};
    const std::uint64_t specials = std::uint64_t(cd.nSpecialSlots) * cd.hashSize;
    const std::uint64_t codes = std::uint64_t(cd.nCodeSlots) * cd.hashSize;
    if (specials > cd.hashOffset || cd.hashOffset - specials < CodeDirectory::HeaderSize(cd.version) ||
        !blob.Holds(cd.hashOffset, codes))
        return Error{ErrorKind::HashesOutOfRange, blob.FileOffset(16)};
    // The texts lie apart from the header and the hashes, so that each can change without the other.
    const std::uint64_t hashesStart = cd.hashOffset - specials, hashesEnd = cd.hashOffset + codes;
    const auto apart = [&](std::uint64_t at, const std::optional<std::string>& text) {
        const std::uint64_t end = at + text->size() + 1;
        return at >= CodeDirectory::HeaderSize(cd.version) && (end <= hashesStart || at >= hashesEnd);
    };
    const std::optional<std::string> identifier = CString(blob, identOffset);
    if (!identifier || !apart(identOffset, identifier))
        return Error{ErrorKind::BadIdentifier, blob.FileOffset(20)};
    cd.identifier = *identifier;
    if (cd.teamOffset != 0) {
        cd.teamId = CString(blob, cd.teamOffset);
        if (!cd.teamId || !apart(cd.teamOffset, cd.teamId))
            return Error{ErrorKind::BadIdentifier, blob.FileOffset(48)};
        // Apart from the identifier too: the re-sign drops the team ID and must keep the identifier.
        const std::uint64_t identEnd = identOffset + identifier->size() + 1;
        const std::uint64_t teamEnd = cd.teamOffset + cd.teamId->size() + 1;
        if (cd.teamOffset < identEnd && identOffset < teamEnd)
            return Error{ErrorKind::BadIdentifier, blob.FileOffset(48)};
    }
    if (cd.codeLimit > signatureStart) return Error{ErrorKind::CodeLimitOutOfRange, blob.FileOffset(32)};
    const std::uint64_t pages =
        cd.pageSize == 0 ? (cd.codeLimit > 0) : (cd.codeLimit + (1ull << cd.pageSize) - 1) >> cd.pageSize;
    if (pages != cd.nCodeSlots) return Error{ErrorKind::SlotCountMismatch, blob.FileOffset(28)};
    return cd;
}

Result<Signature> ReadSignature(const Cursor& slice, std::uint32_t dataOffset, std::uint32_t dataSize,
                                std::uint64_t commandsEnd, std::uint64_t commandOffset)
{
    const std::optional<Cursor> area = slice.Window(dataOffset, dataSize);
    if (!area || dataOffset < commandsEnd) return Error{ErrorKind::SignatureOutOfRange, commandOffset};
    const Cursor sb = area->InByteOrder(true);
    if (!sb.Holds(0, 12) || sb.U32(0) != kSuperBlobMagic)
        return Error{ErrorKind::BadSuperBlob, sb.FileOffset(0)};
    const std::uint32_t length = sb.U32(4), count = sb.U32(8);
    if (length < 12 || length > dataSize) return Error{ErrorKind::BadSuperBlob, sb.FileOffset(4)};
    if (std::uint64_t(count) * 8 > length - 12) return Error{ErrorKind::Truncated, sb.FileOffset(8)};
    const Cursor super = *sb.Window(0, length);

    Signature signature;
    signature.dataOffset = dataOffset;
    signature.dataSize = dataSize;
    // Types seen so far, so that a long index is checked for duplicates in linear time.
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = 12 + std::uint64_t(i) * 8;
        const std::uint32_t type = super.U32(entry), at = super.U32(entry + 4);
        const std::optional<Cursor> head = super.Window(at, 8);
        const std::optional<Cursor> blob = head ? super.Window(at, head->U32(4)) : std::nullopt;
        if (!blob || blob->size() < 8) return Error{ErrorKind::BlobOutOfRange, super.FileOffset(entry)};
        const std::optional<std::uint32_t> magic = ExpectedMagic(type);
        if (magic && blob->U32(0) != *magic) return Error{ErrorKind::BadBlobMagic, blob->FileOffset(0)};
        if (!seen.insert(type).second) return Error{ErrorKind::DuplicateBlob, super.FileOffset(entry)};
        signature.blobs.push_back({type, blob->bytes()});
        if (magic == kCodeDirectoryMagic) {
            Result<CodeDirectory> cd = ReadCodeDirectory(*blob, type, dataOffset);
            if (!cd) return cd.error();
            signature.codeDirectories.push_back(std::move(*cd));
        }
    }
    auto primary = std::find_if(signature.codeDirectories.begin(), signature.codeDirectories.end(),
                                [](const CodeDirectory& cd) { return cd.slot == kCodeDirectorySlot; });
    if (primary == signature.codeDirectories.end())
        return Error{ErrorKind::NoCodeDirectory, super.FileOffset(0)};
    std::rotate(signature.codeDirectories.begin(), primary, primary + 1);
    return signature;
}

// The __TEXT,__info_plist section of a segment command, if it has one.
Result<std::optional<std::string_view>> InfoPlistSection(const Cursor& slice, const Cursor& command,
                                                         bool is64)
{
    const std::uint64_t segmentSize = is64 ? 72 : 56, sectionSize = is64 ? 80 : 68;
    if (!command.Holds(0, segmentSize)) return Error{ErrorKind::BadLoadCommand, command.FileOffset(0)};
    if (command.Bytes(8, 16).substr(0, 7) != std::string_view("__TEXT\0", 7))
        return std::optional<std::string_view>();
    const std::uint32_t sections = command.U32(is64 ? 64 : 48);
    if (std::uint64_t(sections) * sectionSize > command.size() - segmentSize)
        return Error{ErrorKind::BadLoadCommand, command.FileOffset(0)};
    for (std::uint32_t i = 0; i < sections; ++i) {
        const std::uint64_t at = segmentSize + i * sectionSize;
        if (command.Bytes(at, 13) != std::string_view("__info_plist\0", 13)) continue;
        const std::uint64_t size = is64 ? command.U64(at + 40) : command.U32(at + 36);
        const std::uint32_t offset = command.U32(at + (is64 ? 48 : 40));
        if (!slice.Holds(offset, size)) return Error{ErrorKind::SectionOutOfRange, command.FileOffset(at)};
        return std::optional<std::string_view>(slice.Bytes(offset, size));
    }
    return std::optional<std::string_view>();
}

Result<Slice> ReadThin(const Cursor& file, std::uint64_t offset, std::uint64_t size)
{
    const Cursor raw = *file.Window(offset, size);
    const std::uint32_t magic = raw.InByteOrder(true).U32(0), swapped = raw.InByteOrder(false).U32(0);
    const bool bigEndian = magic == kMagic || magic == kMagic64;
    if (!raw.Holds(0, 4) || (!bigEndian && swapped != kMagic && swapped != kMagic64))
        return Error{ErrorKind::NotMachO, raw.FileOffset(0)};
    const Cursor slice = raw.InByteOrder(bigEndian);
    const bool is64 = slice.U32(0) == kMagic64;
    const std::uint64_t headerSize = is64 ? 32 : 28;
    if (!slice.Holds(0, headerSize)) return Error{ErrorKind::Truncated, slice.FileOffset(0)};
    const std::uint32_t ncmds = slice.U32(16), sizeofcmds = slice.U32(20);
    const std::optional<Cursor> commands = slice.Window(headerSize, sizeofcmds);
    if (!commands) return Error{ErrorKind::Truncated, slice.FileOffset(20)};

    Slice result;
    result.offset = offset;
    result.bytes = slice.bytes();
    result.cpuType = slice.U32(4);
    result.commandsEnd = headerSize + sizeofcmds;
    bool sawEncryption = false;
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        const std::uint32_t cmd = commands->U32(at), cmdsize = commands->U32(at + 4);
        const std::optional<Cursor> command = commands->Window(at, cmdsize);
        if (!commands->Holds(at, 8) || cmdsize < 8 || cmdsize % 4 != 0 || !command)
            return Error{ErrorKind::BadLoadCommand, commands->FileOffset(at)};
        if (cmd == kCodeSignature) {
            if (cmdsize < 16) return Error{ErrorKind::BadLoadCommand, command->FileOffset(0)};
            if (result.signature) return Error{ErrorKind::DuplicateLoadCommand, command->FileOffset(0)};
            Result<Signature> signature = ReadSignature(slice, command->U32(8), command->U32(12),
                                                        headerSize + sizeofcmds, command->FileOffset(8));
            if (!signature) return signature.error();
            result.signature = std::move(*signature);
        } else if (cmd == kEncryptionInfo || cmd == kEncryptionInfo64) {
            if (cmdsize < 20) return Error{ErrorKind::BadLoadCommand, command->FileOffset(0)};
            if (sawEncryption) return Error{ErrorKind::DuplicateLoadCommand, command->FileOffset(0)};
            sawEncryption = true;
            result.encrypted = command->U32(16) != 0;
        } else if (cmd == kSegment || cmd == kSegment64) {
            Result<std::optional<std::string_view>> section =
                InfoPlistSection(slice, *command, cmd == kSegment64);
            if (!section) return section.error();
            if (*section) result.infoPlist = *section;
            const bool wide = cmd == kSegment64;
            const std::uint64_t fileOffset = wide ? command->U64(40) : command->U32(32);
            const std::uint64_t end = fileOffset + (wide ? command->U64(48) : command->U32(36));
            if (command->Bytes(8, 16).substr(0, 11) != std::string_view("__LINKEDIT\0", 11))
                result.segmentsEnd = std::max(result.segmentsEnd, end);
            else if (!result.linkEditEnd)
                result.linkEditEnd = end;
        } else if (cmd == kSymtab && cmdsize >= 24 && !result.linkEditEnd) {
            result.linkEditEnd = std::uint64_t(command->U32(16)) + command->U32(20);
        }
        at += cmdsize;
    }
    return result;
}

}  // namespace

std::uint32_t CodeDirectory::HeaderSize(std::uint32_t version)
{
    if (version < 0x20100) return 44;
    if (version < 0x20200) return 48;
    if (version < 0x20300) return 52;
    if (version < 0x20400) return 64;
    if (version < 0x20500) return 88;
    if (version < 0x20600) return 96;
    return 108;
}

std::string_view CodeDirectory::SpecialSlot(std::uint32_t n) const
{
    return bytes.substr(hashOffset - std::uint64_t(n) * hashSize, hashSize);
}

std::string_view CodeDirectory::CodeSlot(std::uint32_t i) const
{
    return bytes.substr(hashOffset + std::uint64_t(i) * hashSize, hashSize);
}

const Blob* Signature::Find(std::uint32_t type) const
{
    for (const Blob& blob : blobs)
        if (blob.type == type) return &blob;
    return nullptr;
}

Result<std::vector<Slice>> ReadMachO(std::string_view bytes)
{
    const Cursor file(bytes, 0, true);
    if (!file.Holds(0, 4)) return Error{ErrorKind::NotMachO, 0};
    const std::uint32_t magic = file.U32(0), swapped = file.InByteOrder(false).U32(0);
    const bool fatBig = magic == kFatMagic || magic == kFatMagic64;
    const bool fatLittle = swapped == kFatMagic || swapped == kFatMagic64;
    std::vector<Slice> slices;
    if (!fatBig && !fatLittle) {
        Result<Slice> slice = ReadThin(file, 0, file.size());
        if (!slice) return slice.error();
        slices.push_back(std::move(*slice));
        return slices;
    }
    const Cursor fat = file.InByteOrder(fatBig);
    const bool is64 = fat.U32(0) == kFatMagic64;
    const std::uint32_t count = fat.U32(4);
    const std::uint64_t entrySize = is64 ? 32 : 20;
    if (!fat.Holds(0, 8)) return Error{ErrorKind::Truncated, 0};
    if (count == 0) return Error{ErrorKind::BadFatHeader, 4};
    if (!fat.Holds(8, count * entrySize)) return Error{ErrorKind::Truncated, 4};
    const std::uint64_t tableEnd = 8 + count * entrySize;

    struct Place {
        std::uint64_t offset, size, entry;
    };
    std::vector<Place> places;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = 8 + i * entrySize;
        const std::uint64_t offset = is64 ? fat.U64(entry + 8) : fat.U32(entry + 8);
        const std::uint64_t size = is64 ? fat.U64(entry + 16) : fat.U32(entry + 12);
        if (offset < tableEnd || !fat.Holds(offset, size)) return Error{ErrorKind::SliceOutOfRange, entry};
        places.push_back({offset, size, entry});
    }
    std::vector<Place> sorted = places;
    std::sort(sorted.begin(), sorted.end(),
              [](const Place& a, const Place& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i].offset < sorted[i - 1].offset + sorted[i - 1].size)
            return Error{ErrorKind::SlicesOverlap, sorted[i].entry};
    for (const Place& place : places) {
        Result<Slice> slice = ReadThin(file, place.offset, place.size);
        // A slice that is not Mach-O leaves the file unreadable, not a file of no code at all.
        if (!slice && slice.error().kind == ErrorKind::NotMachO)
            return Error{ErrorKind::SliceNotMachO, slice.error().offset};
        if (!slice) return slice.error();
        slices.push_back(std::move(*slice));
    }
    return slices;
}

std::string CdHash(const CodeDirectory& cd)
{
    return Digest(cd.hashType, cd.bytes).substr(0, 20);
}

}  // namespace macho
