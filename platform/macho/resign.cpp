// SPDX-License-Identifier: MIT
#include "resign.h"

#include "digest.h"
#include "macho.h"
#include "slice_check.h"

#include "platform/byteorder/byteorder.h"
#include "platform/plist/plist.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace macho {

namespace {

using byteorder::PutBigEndian;
using byteorder::SetBigEndian;

constexpr std::string_view kEmptyRequirements("\xfa\xde\x0c\x01\x00\x00\x00\x0c\x00\x00\x00\x00", 12);
constexpr std::string_view kEmptyCms("\xfa\xde\x0b\x01\x00\x00\x00\x08", 8);
constexpr std::uint32_t kSuperBlobMagic = 0xfade0cc0;

// Entitlements that an application may hold only under its developer's signature and profile.
constexpr std::array<std::string_view, 6> kRestrictedPrefixes = {
    "com.apple.developer.",   "com.apple.application-identifier",      "application-identifier",
    "keychain-access-groups", "com.apple.security.application-groups", "com.apple.private.",
};
constexpr std::string_view kDisableLibraryValidation = "com.apple.security.cs.disable-library-validation";

struct Entitlements {
    std::vector<std::string> keys;
    bool disablesLibraryValidation = false;
    bool unreadable = false;  // the system would not run the application with them either
};

// Every key, nested ones too: a key read too many only refuses sooner.
void AddKeys(const CFObjectZorp& object, std::vector<std::string>& keys)
{
    if (object.Kind() == CFKind::Array)
        for (const CFObjectZorp* item : static_cast<const CFArrayZorp&>(object).Items()) AddKeys(*item, keys);
    if (object.Kind() != CFKind::Dictionary) return;
    for (const auto& [key, value] : static_cast<const CFDictionaryZorp&>(object).Entries()) {
        if (key->Kind() == CFKind::String) keys.emplace_back(static_cast<const CFStringZorp&>(*key).Text());
        AddKeys(*value, keys);
    }
}

// Read as the property list it is, so that a key spelled with character references or CDATA is
// the key the system reads.
Entitlements ReadXmlEntitlements(std::string_view xml)
{
    Entitlements entitlements;
    const plist::ParseResult parsed = plist::Parse(xml, plist::Format::XML);
    const CFDictionaryZorpRef root = plist::AsDictionary(parsed.root);
    if (!root) {
        entitlements.unreadable = true;
        return entitlements;
    }
    AddKeys(*root, entitlements.keys);
    const CFObjectZorp* disable = root->Find(kDisableLibraryValidation);
    entitlements.disablesLibraryValidation =
        disable && disable->Kind() == CFKind::Boolean && static_cast<const CFBooleanZorp&>(*disable).Value();
    return entitlements;
}

// Every UTF8String of DER entitlements, keys and values alike (used only when there is no XML form).
Entitlements ReadDerEntitlements(std::string_view der)
{
    Entitlements entitlements;
    for (std::size_t at = 0; at + 2 <= der.size();) {
        const unsigned char tag = static_cast<unsigned char>(der[at]);
        std::size_t length = static_cast<unsigned char>(der[at + 1]), header = 2;
        if (length & 0x80) {
            const std::size_t bytes = length & 0x7f;
            if (bytes == 0 || bytes > 4 || at + 2 + bytes > der.size()) break;
            length = 0;
            for (std::size_t i = 0; i < bytes; ++i)
                length = length << 8 | static_cast<unsigned char>(der[at + 2 + i]);
            header += bytes;
        }
        if (length > der.size() - at - header) break;
        const bool constructed = tag & 0x20;
        if (tag == 0x0c) entitlements.keys.emplace_back(der.substr(at + header, length));
        at += constructed ? header : header + length;
    }
    return entitlements;
}

Entitlements ReadEntitlements(const Signature& signature)
{
    if (const Blob* xml = signature.Find(kEntitlementsSlot)) return ReadXmlEntitlements(xml->bytes.substr(8));
    if (const Blob* der = signature.Find(kDerEntitlementsSlot))
        return ReadDerEntitlements(der->bytes.substr(8));
    return {};
}

// The restricted keys, comma-separated; empty when there are none.
std::string RestrictedKeys(const Entitlements& entitlements)
{
    if (entitlements.unreadable) return "unreadable";
    std::string found;
    for (const std::string& key : entitlements.keys)
        if (std::any_of(kRestrictedPrefixes.begin(), kRestrictedPrefixes.end(),
                        [&](std::string_view prefix) { return key.starts_with(prefix); }))
            found += (found.empty() ? "" : ", ") + key;
    return found;
}

// The CodeDirectory with the new Info.plist hash, the empty requirement set's hash, the ad hoc flag and no
// team; everything else, code slots included, as it was.
std::string AdhocCodeDirectory(const CodeDirectory& cd, std::string_view infoPlist)
{
    std::string out(cd.bytes);
    std::uint32_t hashOffset = cd.hashOffset;
    if (cd.teamOffset != 0) {
        // The reader keeps the team ID apart from the header and the hashes: close the gap it leaves,
        // moving every offset that pointed past it.
        const std::uint32_t teamLength = std::uint32_t(cd.teamId->size() + 1);
        out.erase(cd.teamOffset, teamLength);
        const auto shift = [&](std::size_t field) {
            const std::uint32_t value = byteorder::BigEndian32(out.data() + field);
            if (value > cd.teamOffset) SetBigEndian(out, field, value - teamLength, 4);
        };
        shift(16);
        shift(20);
        if (cd.version >= 0x20100) shift(44);
        if (cd.version >= 0x20600) shift(100);
        hashOffset = byteorder::BigEndian32(out.data() + 16);
        SetBigEndian(out, 48, 0, 4);
    }
    SetBigEndian(out, 4, out.size(), 4);
    SetBigEndian(out, 12, (cd.flags | kAdhoc) & ~std::uint32_t(kLinkerSigned), 4);
    Hasher hasher(cd.hashType);
    if (cd.nSpecialSlots >= 1) out.replace(hashOffset - cd.hashSize, cd.hashSize, hasher.Digest(infoPlist));
    if (cd.nSpecialSlots >= 2)
        out.replace(hashOffset - 2 * cd.hashSize, cd.hashSize, hasher.Digest(kEmptyRequirements));
    return out;
}

// The CodeDirectories, the empty requirement set, the blobs the special slots bind, and the empty CMS
// wrapper, in type order. A stapled ticket and any other blob no slot binds are dropped.
std::string AdhocSuperBlob(const Signature& signature, std::string_view infoPlist)
{
    std::vector<std::pair<std::uint32_t, std::string>> blobs;
    for (const CodeDirectory& cd : signature.codeDirectories)
        blobs.emplace_back(cd.slot, AdhocCodeDirectory(cd, infoPlist));
    blobs.emplace_back(kRequirementsSlot, std::string(kEmptyRequirements));
    for (const Blob& blob : signature.blobs)
        if (blob.type != kCodeDirectorySlot && blob.type != kRequirementsSlot &&
            blob.type < kFirstAlternateSlot)
            blobs.emplace_back(blob.type, std::string(blob.bytes));
    blobs.emplace_back(kCmsSlot, std::string(kEmptyCms));
    std::stable_sort(blobs.begin(), blobs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::string index, data;
    std::uint64_t at = 12 + 8 * blobs.size();
    for (const auto& [type, bytes] : blobs) {
        PutBigEndian(index, type, 4);
        PutBigEndian(index, at + data.size(), 4);
        data += bytes;
    }
    std::string out;
    PutBigEndian(out, kSuperBlobMagic, 4);
    PutBigEndian(out, at + data.size(), 4);
    PutBigEndian(out, blobs.size(), 4);
    return out + index + data;
}

Decision Refuse(Decision decision, Refusal reason, std::string detail = {})
{
    decision.action = Action::Refuse;
    decision.reason = reason;
    decision.detail = std::move(detail);
    return decision;
}

struct Plan {
    Decision decision;
    std::vector<std::optional<std::string>> superBlobs;  // one a slice, for Action::Resign; none: kept
};

Plan MakePlan(const Examined& examined, const BundleFiles& files, const BundleFacts& facts)
{
    Plan plan;
    Decision& decision = plan.decision;
    const Verdict& verdict = examined.verdict;
    decision.developer = verdict.state != State::Unsigned && !verdict.adhoc;
    if (verdict.state != State::Broken) return plan;

    // An edit of Info.plist changes slot -1 and nothing else: a CodeDirectory, its CMS or any other
    // hash that no longer holds, in any slice, is someone else's change and is never signed over; a
    // rule macOS applies that fails now fails after a re-sign too.
    if (const unsigned others = verdict.breaks & ~unsigned(kInfoPlistChanged))
        return Plan{Refuse(decision, Refusal::AlreadyBroken, DescribeBreaks(others)), {}};
    // A slice whose signature does not bind Info.plist (the linker's, say) stays valid as it is and is
    // left so; the slices that bind it are renewed.
    plan.superBlobs.resize(examined.slices.size());
    bool replacesDeveloper = false, keepsSigner = false;
    for (std::size_t i = 0; i < examined.slices.size(); ++i) {
        const Slice& slice = examined.slices[i];
        const SliceCheck& check = *examined.checks[i];
        if (!check.bindsInfoPlist) {
            keepsSigner |= check.cms || slice.signature->codeDirectories.front().teamId.value_or("") != "";
            continue;
        }
        replacesDeveloper |= check.cms;
        const Signature& signature = *slice.signature;
        const CodeDirectory& primary = signature.codeDirectories.front();
        if (slice.encrypted) return Plan{Refuse(decision, Refusal::Encrypted), {}};
        for (const CodeDirectory& cd : signature.codeDirectories)
            if (cd.platform != 0) return Plan{Refuse(decision, Refusal::PlatformBinary), {}};
        if (check.appleSigned) return Plan{Refuse(decision, Refusal::AppleSigned), {}};
        for (std::uint32_t type = kFirstConstraintSlot; type <= kLastConstraintSlot; ++type)
            if (signature.Find(type)) return Plan{Refuse(decision, Refusal::Constraints), {}};
        const Entitlements entitlements = ReadEntitlements(signature);
        if (std::string keys = RestrictedKeys(entitlements); !keys.empty())
            return Plan{Refuse(decision, Refusal::RestrictedEntitlements, keys), {}};
        if ((primary.flags & (kRuntime | kLibraryValidation)) && !entitlements.disablesLibraryValidation &&
            facts.otherCodeInside && facts.otherCodeInside())
            return Plan{Refuse(decision, Refusal::LibraryValidation), {}};
        const std::string_view infoPlist = files.infoPlist ? *files.infoPlist : slice.infoPlist.value_or("");
        plan.superBlobs[i] = AdhocSuperBlob(signature, infoPlist);
        if (plan.superBlobs[i]->size() > signature.dataSize)
            return Plan{Refuse(decision, Refusal::DoesNotFit), {}};
    }
    // The renewed slices become ad hoc and lose their team ID, which every slice must share: a kept
    // developer's slice would leave a file signed two ways.
    if (keepsSigner) return Plan{Refuse(decision, Refusal::SignerKept), {}};
    // A developer's slice that is kept as it was is not replaced.
    decision.developer = replacesDeveloper;
    if (replacesDeveloper && !facts.allowDeveloper)
        return Plan{Refuse(decision, Refusal::DeveloperSignature), {}};
    decision.action = Action::Resign;
    return plan;
}

}  // namespace

Result<Resigned> ResignAdHoc(const BundleFiles& files, const BundleFacts& facts)
{
    Result<Examined> examined = Examine(files);
    if (!examined) return examined.error();
    const Plan plan = MakePlan(*examined, files, facts);
    Resigned resigned{plan.decision, {}};
    if (plan.decision.action != Action::Resign) return resigned;
    for (std::size_t i = 0; i < examined->slices.size(); ++i) {
        const Slice& slice = examined->slices[i];
        if (!plan.superBlobs[i]) continue;
        std::string bytes = *plan.superBlobs[i];
        bytes.resize(slice.signature->dataSize, '\0');
        resigned.replacements.push_back({slice.offset + slice.signature->dataOffset, std::move(bytes)});
    }
    return resigned;
}

void Resigned::ApplyTo(std::string& executable) const
{
    for (const Replacement& replacement : replacements)
        executable.replace(replacement.offset, replacement.bytes.size(), replacement.bytes);
}

std::string Describe(const Decision& decision)
{
    const auto with = [&](std::string text) {
        return decision.detail.empty() ? text : text + " (" + decision.detail + ")";
    };
    switch (decision.reason) {
    case Refusal::None: return {};
    case Refusal::DeveloperSignature: return "signed by a developer";
    case Refusal::RestrictedEntitlements: return with("restricted entitlements");
    case Refusal::LibraryValidation: return "library validation with other code inside";
    case Refusal::Constraints: return "launch or library constraints";
    case Refusal::Encrypted: return "encrypted";
    case Refusal::PlatformBinary: return "platform binary";
    case Refusal::AppleSigned: return "signed by Apple";
    case Refusal::AlreadyBroken: return with("signature already broken");
    case Refusal::DoesNotFit: return "new signature does not fit in the signature area";
    case Refusal::SignerKept:
        return "a slice that does not bind Info.plist would keep its developer's signature";
    }
    return {};
}

}  // namespace macho
