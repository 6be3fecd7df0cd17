// SPDX-License-Identifier: MIT
#include "strict.h"

#include "cursor.h"
#include "verify.h"

#include "platform/plist/plist.h"

#include <algorithm>
#include <cstdint>

namespace macho {

namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kArm64 = 0x0100000c, kX86_64 = 0x01000007;
// The kernel takes 4 KiB pages or its own (16 KiB on arm64).
constexpr std::uint8_t kSmallestPage = 12, kLargestPage = 14;

bool IsPropertyList(std::string_view xml)
{
    return plist::AsDictionary(plist::Parse(xml, plist::Format::XML).root) != nullptr;
}

// DER entitlements: one constructed element that fills the blob (signers differ in its tag).
bool IsDerEntitlements(std::string_view der)
{
    if (der.size() < 2 || !(static_cast<unsigned char>(der[0]) & 0x20)) return false;
    std::uint64_t length = static_cast<unsigned char>(der[1]), header = 2;
    if (length & 0x80) {
        const std::uint64_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return false;
        length = 0;
        for (std::uint64_t i = 0; i < bytes; ++i)
            length = length << 8 | static_cast<unsigned char>(der[2 + i]);
        header += bytes;
    }
    return header + length == der.size();
}

// The slice the verifier's own architecture runs: arm64, else x86_64, else the first.
const Slice* MainSlice(const std::vector<Slice>& slices)
{
    for (std::uint32_t cpu : {kArm64, kX86_64})
        for (const Slice& slice : slices)
            if (slice.cpuType == cpu) return &slice;
    return slices.empty() ? nullptr : &slices.front();
}

// Sorted by offset, the gap after the header and table may be of any length, each later one shorter
// than the next slice's alignment; every gap byte is zero, and the last slice ends the file.
bool LaidOutAsTheKernelReads(const Cursor& fat, bool is64)
{
    struct Place {
        std::uint64_t offset, size;
        std::uint32_t align;
    };
    const std::uint32_t count = fat.U32(4);
    const std::uint64_t entrySize = is64 ? 32 : 20;
    std::vector<Place> places;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = 8 + i * entrySize;
        places.push_back({is64 ? fat.U64(entry + 8) : fat.U32(entry + 8),
                          is64 ? fat.U64(entry + 16) : fat.U32(entry + 12),
                          fat.U32(entry + (is64 ? 24 : 16))});
    }
    std::sort(places.begin(), places.end(),
              [](const Place& a, const Place& b) { return a.offset < b.offset; });
    std::uint64_t end = 8 + count * entrySize;
    for (std::size_t i = 0; i < places.size(); ++i) {
        const Place& place = places[i];
        if (place.align > 30 || place.offset < end) return false;
        if (i > 0 && place.offset - end >= (std::uint64_t(1) << place.align)) return false;
        const std::string_view gap = fat.Bytes(end, place.offset - end);
        if (gap.find_first_not_of('\0') != std::string_view::npos) return false;
        end = place.offset + place.size;
    }
    return end == fat.size();
}

}  // namespace

unsigned SliceRuleBreaks(const Slice& slice)
{
    const Signature& signature = *slice.signature;
    unsigned breaks = 0;
    for (const CodeDirectory& cd : signature.codeDirectories) {
        if (cd.codeLimit < slice.commandsEnd || cd.codeLimit < slice.segmentsEnd) breaks |= kCodeLimitShort;
        if (cd.scatterOffset != 0) breaks |= kScatter;
        if (cd.pageSize < kSmallestPage || cd.pageSize > kLargestPage) breaks |= kPageSize;
    }
    if (slice.linkEditEnd != slice.bytes.size()) breaks |= kLinkEditNotLast;
    if (const Blob* xml = signature.Find(kEntitlementsSlot); xml && !IsPropertyList(xml->bytes.substr(8)))
        breaks |= kEntitlementsForm;
    if (const Blob* der = signature.Find(kDerEntitlementsSlot);
        der && !IsDerEntitlements(der->bytes.substr(8)))
        breaks |= kEntitlementsForm;
    return breaks;
}

unsigned FileRuleBreaks(std::string_view file, const std::vector<Slice>& slices)
{
    unsigned breaks = 0;
    const Cursor big(file, 0, true), little(file, 0, false);
    const std::uint32_t magic = big.U32(0), swapped = little.U32(0);
    if (magic == kFatMagic64 || swapped == kFatMagic || swapped == kFatMagic64) breaks |= kUniversalHeader;
    if (magic == kFatMagic || magic == kFatMagic64 || swapped == kFatMagic || swapped == kFatMagic64) {
        const bool bigEndian = magic == kFatMagic || magic == kFatMagic64;
        if (!LaidOutAsTheKernelReads(bigEndian ? big : little, (bigEndian ? magic : swapped) == kFatMagic64))
            breaks |= kUniversalLayout;
    }
    if (const Slice* main = MainSlice(slices); main && main->signature)
        for (const CodeDirectory& cd : main->signature->codeDirectories)
            if (cd.codeLimit != main->signature->dataOffset) breaks |= kCodeLimitNotSignature;
    const std::string* team = nullptr;
    const std::string none;
    for (const Slice& slice : slices) {
        if (!slice.signature) continue;
        const std::optional<std::string>& id = slice.signature->codeDirectories.front().teamId;
        const std::string& own = id ? *id : none;
        if (team && *team != own) breaks |= kTeamIdsDiffer;
        team = &own;
    }
    return breaks;
}

}  // namespace macho
