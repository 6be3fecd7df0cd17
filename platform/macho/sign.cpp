// SPDX-License-Identifier: MIT
#include "sign.h"

#include "digest.h"
#include "layout.h"
#include "strict.h"

#include "platform/byteorder/byteorder.h"
#include "platform/byteorder/large_buffer.h"
#include "platform/plist/plist.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace macho {

namespace {

using byteorder::PutBigEndian;

constexpr std::string_view kEmptyRequirements("\xfa\xde\x0c\x01\x00\x00\x00\x0c\x00\x00\x00\x00", 12);
constexpr std::string_view kEmptyCms("\xfa\xde\x0b\x01\x00\x00\x00\x08", 8);
constexpr std::uint32_t kSuperBlobMagic = 0xfade0cc0, kCodeDirectoryMagic = 0xfade0c02;
// 4 KiB pages: what every kernel accepts, and what the linkers write.
constexpr std::uint32_t kPageShift = 12;
constexpr std::uint32_t kExecute = 2;
constexpr std::uint32_t kArm64 = 0x0100000c;

// Code for systems whose kernels know only SHA-1 CodeDirectories gets both kinds.
bool NeedsSha1(const SliceLayout& layout)
{
    if (!layout.versionCommand) return false;
    switch (layout.platform) {
    case 1: return layout.minos < 0x000a0b04;  // macOS 10.11.4
    case 2:
    case 3: return layout.minos < 0x000b0000;  // iOS, tvOS 11
    case 4: return layout.minos < 0x000c0000;  // watchOS 12
    default: return false;
    }
}

struct Kept {
    std::uint32_t flags = 0, runtime = 0;
    std::vector<std::pair<std::uint32_t, std::string_view>> blobs;  // entitlements, by type
};

// A linker's signature passes nothing on.
Kept KeptFrom(const std::optional<Signature>& old)
{
    Kept kept;
    if (!old) return kept;
    const CodeDirectory& primary = old->codeDirectories.front();
    if (primary.flags & kLinkerSigned) return kept;
    kept.flags = primary.flags & kRuntime;
    if (kept.flags && primary.version >= 0x20500)
        kept.runtime = byteorder::BigEndian32(primary.bytes.data() + 88);
    for (std::uint32_t type : {kEntitlementsSlot, kDerEntitlementsSlot})
        if (const Blob* blob = old->Find(type)) kept.blobs.emplace_back(type, blob->bytes);
    return kept;
}

// A main executable's entitlements that the kernel reads from the CodeDirectory's execSeg flags.
std::uint64_t ExecSegFlags(const SliceLayout& layout, const Kept& kept)
{
    if (layout.filetype != kExecute) return 0;
    std::uint64_t flags = 0x1;
    const auto xml = std::find_if(kept.blobs.begin(), kept.blobs.end(),
                                  [](const auto& blob) { return blob.first == kEntitlementsSlot; });
    if (xml == kept.blobs.end()) return flags;
    const plist::ParseResult parsed = plist::Parse(xml->second.substr(8), plist::Format::XML);
    const CFDictionaryZorpRef root = plist::AsDictionary(parsed.root);
    if (!root) return flags;
    constexpr std::array<std::pair<std::string_view, std::uint64_t>, 7> kKeys = {{
        {"get-task-allow", 0x10},
        {"run-unsigned-code", 0x10},
        {"com.apple.private.cs.debugger", 0x20},
        {"dynamic-codesigning", 0x40},
        {"com.apple.private.skip-library-validation", 0x80},
        {"com.apple.private.amfi.can-load-cdhash", 0x100},
        {"com.apple.private.amfi.can-execute-cdhash", 0x200},
    }};
    for (const auto& [key, bit] : kKeys) {
        const CFObjectZorp* value = root->Find(key);
        if (value && value->Kind() == CFKind::Boolean && static_cast<const CFBooleanZorp&>(*value).Value())
            flags |= bit;
    }
    return flags;
}

// Everything one slice's CodeDirectories say, apart from the hash type and the hashes.
struct Plan {
    std::uint32_t version = 0, flags = 0, runtime = 0, nSpecial = 0;
    std::uint64_t codeLimit = 0, execSegBase = 0, execSegLimit = 0, execSegFlags = 0;
    std::string identifier;
    std::array<std::optional<std::string_view>, 8> specials;  // by slot number

    std::uint32_t CodeSlots() const
    {
        return std::uint32_t((codeLimit + (1u << kPageShift) - 1) >> kPageShift);
    }
    std::uint64_t Size(std::uint8_t hashType) const
    {
        return CodeDirectory::HeaderSize(version) + identifier.size() + 1 +
               std::uint64_t(nSpecial + CodeSlots()) * HashSize(hashType);
    }
};

std::string MakeCodeDirectory(const Plan& plan, std::uint8_t hashType, std::string_view code)
{
    Hasher hasher(hashType);
    const std::uint32_t header = CodeDirectory::HeaderSize(plan.version);
    const std::uint32_t hashSize = std::uint32_t(HashSize(hashType));
    const std::uint32_t hashOffset =
        header + std::uint32_t(plan.identifier.size()) + 1 + plan.nSpecial * hashSize;
    std::string out;
    out.reserve(plan.Size(hashType));
    for (std::uint64_t field :
         {std::uint64_t(kCodeDirectoryMagic), plan.Size(hashType), std::uint64_t(plan.version),
          std::uint64_t(plan.flags), std::uint64_t(hashOffset), std::uint64_t(header),
          std::uint64_t(plan.nSpecial), std::uint64_t(plan.CodeSlots()), plan.codeLimit})
        PutBigEndian(out, field, 4);
    for (std::uint32_t byte : {hashSize, std::uint32_t(hashType), 0u, kPageShift}) out.push_back(char(byte));
    PutBigEndian(out, 0, 4);                               // spare2
    PutBigEndian(out, 0, 4);                               // scatterOffset
    if (plan.version >= 0x20200) PutBigEndian(out, 0, 4);  // teamOffset
    if (plan.version >= 0x20300) out.append(12, '\0');     // spare3, codeLimit64
    if (plan.version >= 0x20400)
        for (std::uint64_t field : {plan.execSegBase, plan.execSegLimit, plan.execSegFlags})
            PutBigEndian(out, field, 8);
    if (plan.version >= 0x20500) {
        PutBigEndian(out, plan.runtime, 4);
        PutBigEndian(out, 0, 4);  // preEncryptOffset
    }
    out += plan.identifier;
    out.push_back('\0');
    for (std::uint32_t n = plan.nSpecial; n >= 1; --n)
        out += n < plan.specials.size() && plan.specials[n] ? hasher.Digest(*plan.specials[n])
                                                            : std::string(hashSize, '\0');
    for (std::uint64_t at = 0; at < plan.codeLimit; at += 1u << kPageShift)
        out += hasher.Digest(code.substr(at, std::min<std::uint64_t>(1u << kPageShift, plan.codeLimit - at)));
    return out;
}

std::string SuperBlob(const std::vector<std::pair<std::uint32_t, std::string>>& blobs)
{
    std::string index, data, out;
    const std::uint64_t start = 12 + 8 * blobs.size();
    for (const auto& [type, bytes] : blobs) {
        PutBigEndian(index, type, 4);
        PutBigEndian(index, start + data.size(), 4);
        data += bytes;
    }
    PutBigEndian(out, kSuperBlobMagic, 4);
    PutBigEndian(out, start + data.size(), 4);
    PutBigEndian(out, blobs.size(), 4);
    return out + index + data;
}

// One slice's new signature, settled before any byte of the new file is written.
struct SlicePlan {
    Kept kept;
    Plan plan;
    std::vector<std::uint8_t> hashTypes;
    Room room;
};

Result<SlicePlan> PlanSlice(const Slice& slice, const SliceLayout& layout, const SignRequest& request,
                            bool sha1)
{
    SlicePlan out;
    const Kept& kept = out.kept = KeptFrom(slice.signature);
    Plan& plan = out.plan;
    plan.identifier = request.identifier;
    plan.flags = kAdhoc | kept.flags;
    plan.runtime = kept.runtime;
    plan.codeLimit = layout.signatureCommand ? layout.dataOffset : (slice.bytes.size() + 15) / 16 * 16;
    if (layout.versionCommand) {
        plan.execSegBase = layout.textOffset;
        plan.execSegLimit = layout.textSize;
        plan.execSegFlags = ExecSegFlags(layout, kept);
    }
    plan.version = plan.runtime ? 0x20500 : plan.execSegLimit > 0 ? 0x20400 : 0x20100;
    plan.specials[1] = request.infoPlist ? request.infoPlist : slice.infoPlist;
    plan.specials[2] = kEmptyRequirements;
    plan.specials[3] = request.codeResources;
    plan.nSpecial = request.codeResources ? 3 : 2;
    for (const auto& [type, bytes] : kept.blobs) {
        plan.specials[type] = bytes;
        plan.nSpecial = std::max(plan.nSpecial, type);
    }
    out.hashTypes = sha1 ? std::vector<std::uint8_t>{kSha1, kSha256} : std::vector<std::uint8_t>{kSha256};
    std::uint64_t needed = 12 + 8 * (out.hashTypes.size() + 2 + kept.blobs.size()) +
                           kEmptyRequirements.size() + kEmptyCms.size();
    for (std::uint8_t type : out.hashTypes) needed += plan.Size(type);
    for (const auto& blob : kept.blobs) needed += blob.second.size();
    if (needed > 0xffffffffu - 16) return Error{ErrorKind::TooLarge, slice.offset};
    Result<Room> room = PlanRoom(slice.bytes, layout, std::uint32_t((needed + 15) / 16 * 16));
    if (!room) return Error{room.error().kind, slice.offset + room.error().offset};
    if (room->dataOffset != plan.codeLimit) return Error{ErrorKind::SignatureOutOfRange, slice.offset};
    out.room = *room;
    return out;
}

// The slice with its new signature, written to `out` (the room's length; the first `held` bytes
// the slice's own already, zeros after them).
void WriteSlice(const SlicePlan& planned, const Slice& slice, const SliceLayout& layout, char* out,
                std::uint64_t held)
{
    MakeRoom(slice.bytes, layout, planned.room, out, held);
    const std::string_view code(out, planned.plan.codeLimit);
    std::vector<std::pair<std::uint32_t, std::string>> blobs;
    for (std::size_t i = 0; i < planned.hashTypes.size(); ++i)
        blobs.emplace_back(i == 0 ? std::uint32_t(kCodeDirectorySlot)
                                  : std::uint32_t(kFirstAlternateSlot + i - 1),
                           MakeCodeDirectory(planned.plan, planned.hashTypes[i], code));
    blobs.emplace_back(kRequirementsSlot, std::string(kEmptyRequirements));
    for (const auto& [type, bytes] : planned.kept.blobs) blobs.emplace_back(type, std::string(bytes));
    blobs.emplace_back(kCmsSlot, std::string(kEmptyCms));
    std::stable_sort(blobs.begin(), blobs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::string superBlob = SuperBlob(blobs);
    std::copy(superBlob.begin(), superBlob.end(), out + planned.room.dataOffset);
}

std::uint32_t CpuType(const Slice& slice, std::uint32_t* subtype)
{
    const bool bigEndian = byteorder::BigEndian32(slice.bytes.data()) == 0xfeedface ||
                           byteorder::BigEndian32(slice.bytes.data()) == 0xfeedfacf;
    const auto read = [&](std::size_t at) {
        return std::uint32_t(bigEndian ? byteorder::BigEndian(slice.bytes.data() + at, 4)
                                       : byteorder::LittleEndian(slice.bytes.data() + at, 4));
    };
    *subtype = read(8) & 0x00ffffff;
    return read(4);
}

bool Numeric(std::string_view part)
{
    return !part.empty() &&
           std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The slice's unchanged bytes placed at `at` in `out` as the stable file's own pages, where both
// offsets fall on page boundaries: every page of code but the first (the load commands change there)
// and the last, which may be partly the old signature's. How many of the slice's first bytes `out` then holds
// (0: none, nothing was placed).
std::uint64_t Held(byteorder::LargeBytes& out, std::uint64_t at, const Slice& slice,
                   const SliceLayout& layout, const Room& room, int stableFd)
{
    const std::uint64_t page = byteorder::LargeBytes::Page();
    const std::uint64_t head =
        (std::uint64_t(layout.headerSize) + layout.sizeofcmds + 16 + page - 1) / page * page;
    const std::uint64_t end =
        std::min<std::uint64_t>(KeptBytes(slice.bytes, room), room.dataOffset) / page * page;
    if (stableFd < 0 || at % page != 0 || slice.offset % page != 0 || end <= head) return 0;
    std::copy_n(slice.bytes.data(), head, out.data() + at);
    return out.MapFile(at + head, stableFd, slice.offset + head, end - head) ? end : 0;
}

}  // namespace

Result<SignedCode> SignAdHoc(std::string_view file, const SignRequest& request, int stableFd)
{
    Result<std::vector<Slice>> slices = ReadMachO(file);
    if (!slices) return slices.error();
    std::vector<SliceLayout> layouts;
    bool sha1 = false;
    for (const Slice& slice : *slices) {
        Result<SliceLayout> layout = ReadLayout(slice.bytes, slice.offset);
        if (!layout) return layout.error();
        sha1 |= NeedsSha1(*layout);
        layouts.push_back(*layout);
    }
    SignedCode signedCode;
    signedCode.sha1 = sha1;
    std::vector<SlicePlan> plans;
    std::vector<std::uint64_t> lengths;
    for (std::size_t i = 0; i < slices->size(); ++i) {
        Result<SlicePlan> plan = PlanSlice((*slices)[i], layouts[i], request, sha1);
        if (!plan) return plan.error();
        signedCode.grown |= plan->room.kind != Room::Kind::Kept;
        lengths.push_back(plan->room.length);
        plans.push_back(std::move(*plan));
    }
    // The new file is assembled once: each slice written straight to its place.
    std::vector<std::uint64_t> offsets;
    const std::optional<FatHeader> fat = ReadFatHeader(file);
    if (!fat) {
        signedCode.bytes = byteorder::LargeBytes::Zeros(lengths.front());
        offsets.push_back(0);
    } else if (!signedCode.grown) {
        // Each slice where it was; the header and whatever lies between slices as it was.
        signedCode.bytes = byteorder::LargeBytes::Zeros(file.size());
        if (signedCode.bytes.empty()) return Error{ErrorKind::TooLarge, 0};
        std::vector<std::pair<std::uint64_t, std::uint64_t>> taken;
        for (const Slice& slice : *slices) {
            offsets.push_back(slice.offset);
            taken.emplace_back(slice.offset, slice.offset + slice.bytes.size());
        }
        std::sort(taken.begin(), taken.end());
        std::uint64_t at = 0;
        for (const auto& [begin, end] : taken) {
            if (begin > at) std::copy(file.data() + at, file.data() + begin, signedCode.bytes.data() + at);
            at = std::max(at, end);
        }
        std::copy(file.data() + at, file.data() + file.size(), signedCode.bytes.data() + at);
    } else {
        Result<std::vector<std::uint64_t>> laidOut = LayOutUniversal(*fat, lengths, signedCode.bytes);
        if (!laidOut) return laidOut.error();
        offsets = std::move(*laidOut);
    }
    if (signedCode.bytes.empty()) return Error{ErrorKind::TooLarge, 0};
    for (std::size_t i = 0; i < slices->size(); ++i) {
        const std::uint64_t held =
            Held(signedCode.bytes, offsets[i], (*slices)[i], layouts[i], plans[i].room, stableFd);
        WriteSlice(plans[i], (*slices)[i], layouts[i], signedCode.bytes.data() + offsets[i], held);
    }
    // What signing cannot mend (the file's own layout, kept entitlements) would leave a signature macOS
    // calls broken: refuse it rather than write it. No page is hashed again here.
    Result<std::vector<Slice>> written = ReadMachO(signedCode.bytes.View());
    if (!written) return written.error();
    unsigned breaks = FileRuleBreaks(signedCode.bytes.View(), *written);
    for (const Slice& slice : *written) breaks |= SliceRuleBreaks(slice);
    if (breaks) return Error{ErrorKind::RefusedLayout, 0};
    return signedCode;
}

std::optional<std::string> WithSealHash(std::string_view file, std::string_view codeResources)
{
    Result<std::vector<Slice>> slices = ReadMachO(file);
    if (!slices) return std::nullopt;
    std::string out(file);
    for (const Slice& slice : *slices) {
        if (!slice.signature) return std::nullopt;
        const Blob* cms = slice.signature->Find(kCmsSlot);
        if (cms && cms->bytes.size() > kEmptyCms.size()) return std::nullopt;
        for (const CodeDirectory& cd : slice.signature->codeDirectories) {
            if (!(cd.flags & kAdhoc) || cd.nSpecialSlots < 3) return std::nullopt;
            const std::size_t at = std::size_t(cd.SpecialSlot(3).data() - file.data());
            out.replace(at, cd.hashSize, Digest(cd.hashType, codeResources));
        }
    }
    return out;
}

bool WantsSha1(std::string_view file)
{
    Result<std::vector<Slice>> slices = ReadMachO(file);
    if (!slices) return false;
    for (const Slice& slice : *slices) {
        Result<SliceLayout> layout = ReadLayout(slice.bytes, slice.offset);
        if (layout && NeedsSha1(*layout)) return true;
    }
    return false;
}

std::string IdentifierForFile(std::string_view name)
{
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t dot = name.find('.', at);
        parts.push_back(name.substr(at, dot == std::string_view::npos ? dot : dot - at));
        if (dot == std::string_view::npos) break;
        at = dot + 1;
    }
    if (parts.size() > 1 && !Numeric(parts.back())) parts.pop_back();
    std::string out(parts.front());
    bool sawNumber = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (Numeric(parts[i]) && std::exchange(sawNumber, true)) continue;
        out += '.';
        out += parts[i];
    }
    return out;
}

NestedSeal SealOf(const std::vector<Slice>& slices)
{
    struct Ordered {
        std::uint32_t cputype, subtype;
        const Slice* slice;
    };
    std::vector<Ordered> ordered;
    for (const Slice& slice : slices) {
        if (!slice.signature) return {};
        Ordered entry{0, 0, &slice};
        entry.cputype = CpuType(slice, &entry.subtype);
        ordered.push_back(entry);
    }
    if (ordered.empty()) return {};
    // The Mac that needs an ad hoc signature is an Apple-silicon one, so its slice comes first.
    std::stable_sort(ordered.begin(), ordered.end(), [](const Ordered& a, const Ordered& b) {
        if ((a.cputype == kArm64) != (b.cputype == kArm64)) return a.cputype == kArm64;
        return std::pair(a.cputype, a.subtype) < std::pair(b.cputype, b.subtype);
    });
    NestedSeal seal;
    for (const Ordered& entry : ordered) {
        std::vector<const CodeDirectory*> cds;
        for (const CodeDirectory& cd : entry.slice->signature->codeDirectories) cds.push_back(&cd);
        std::stable_sort(cds.begin(), cds.end(), [](const CodeDirectory* a, const CodeDirectory* b) {
            return a->hashType < b->hashType;
        });
        for (const CodeDirectory* cd : cds)
            seal.requirement += (seal.requirement.empty() ? "" : " or ") + std::string("cdhash H\"") +
                                Hex(CdHash(*cd)) + "\"";
    }
    const std::vector<CodeDirectory>& chosen = ordered.front().slice->signature->codeDirectories;
    const auto sha256 = std::find_if(chosen.begin(), chosen.end(),
                                     [](const CodeDirectory& cd) { return cd.hashType == kSha256; });
    seal.cdhash = CdHash(sha256 != chosen.end() ? *sha256 : chosen.front());
    return seal;
}

}  // namespace macho
