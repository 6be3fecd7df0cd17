// SPDX-License-Identifier: MIT
#pragma once
// Thin and universal Mach-O files as far as code signing needs them: each slice's place, its
// LC_CODE_SIGNATURE, encryption and embedded Info.plist, and the signature's blobs. Every view points
// into the caller's bytes, which must outlive what is read from them.

#include "error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace macho {

enum BlobType : std::uint32_t {
    kCodeDirectorySlot = 0,
    kRequirementsSlot = 2,
    kEntitlementsSlot = 5,
    kDerEntitlementsSlot = 7,
    kFirstConstraintSlot = 8,
    kLastConstraintSlot = 11,
    kFirstAlternateSlot = 0x1000,
    kLastAlternateSlot = 0x1004,
    kCmsSlot = 0x10000,
    kTicketSlot = 0x10002,
};

enum CodeDirectoryFlag : std::uint32_t {
    kAdhoc = 0x2,
    kLibraryValidation = 0x2000,
    kRuntime = 0x10000,
    kLinkerSigned = 0x20000,
};

struct CodeDirectory {
    std::uint32_t slot = 0;  // 0 for the primary, 0x1000.. for alternates
    std::string_view bytes;  // the whole blob
    std::uint32_t version = 0, flags = 0, hashOffset = 0, nSpecialSlots = 0, nCodeSlots = 0;
    std::uint64_t codeLimit = 0;  // codeLimit64 where it is set
    std::uint8_t hashSize = 0, hashType = 0, platform = 0, pageSize = 0;
    std::uint32_t teamOffset = 0;     // 0: none
    std::uint32_t scatterOffset = 0;  // 0: none (a scatter vector is never used for Mach-O code)
    std::string identifier;
    std::optional<std::string> teamId;

    static std::uint32_t HeaderSize(std::uint32_t version);

    // The hash in special slot -n (1 <= n <= nSpecialSlots) or code slot i.
    std::string_view SpecialSlot(std::uint32_t n) const;
    std::string_view CodeSlot(std::uint32_t i) const;
};

struct Blob {
    std::uint32_t type = 0;
    std::string_view bytes;  // header included
};

struct Signature {
    std::uint32_t dataOffset = 0, dataSize = 0;  // LC_CODE_SIGNATURE, from the slice's start
    std::vector<Blob> blobs;                     // in the SuperBlob's order
    std::vector<CodeDirectory> codeDirectories;  // the primary first

    const Blob* Find(std::uint32_t type) const;
};

struct Slice {
    std::uint64_t offset = 0;  // in the file
    std::string_view bytes;
    std::uint32_t cpuType = 0;
    std::uint64_t commandsEnd = 0;  // the header and the load commands
    std::uint64_t segmentsEnd = 0;  // where the file content of every segment but __LINKEDIT ends
    // Where the first __LINKEDIT segment, or an LC_SYMTAB's string table before it, ends.
    std::optional<std::uint64_t> linkEditEnd;
    bool encrypted = false;                     // LC_ENCRYPTION_INFO(_64) with cryptid != 0
    std::optional<std::string_view> infoPlist;  // a bare tool's __TEXT,__info_plist
    std::optional<Signature> signature;
};

// What names a CodeDirectory elsewhere (a container's seal, a CMS attribute): the hash of its whole
// blob with its own hash type, cut to 20 bytes.
std::string CdHash(const CodeDirectory& cd);

// Every slice of a universal file, or the one of a thin file.
Result<std::vector<Slice>> ReadMachO(std::string_view file);

}  // namespace macho
