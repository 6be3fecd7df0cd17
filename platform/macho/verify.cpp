// SPDX-License-Identifier: MIT
#include "verify.h"

#include "cms.h"
#include "digest.h"
#include "hash_agility.h"
#include "slice_check.h"
#include "strict.h"

#include <algorithm>
#include <vector>

namespace macho {

namespace {

constexpr std::uint32_t kEmptyCmsLength = 8;

bool IsZero(std::string_view hash)
{
    return std::all_of(hash.begin(), hash.end(), [](char c) { return c == 0; });
}

// A present slot must hash its data and an empty one must have none; the files outside the signature
// (Info.plist, CodeResources) may exist unbound, as a linker signature leaves them.
bool SlotMatches(const CodeDirectory& cd, std::uint32_t n, std::optional<std::string_view> data,
                 bool dataMayBeUnbound, Hasher& hasher)
{
    const bool present = n <= cd.nSpecialSlots && !IsZero(cd.SpecialSlot(n));
    if (!present) return !data || dataMayBeUnbound;
    return data && hasher.Matches(*data, cd.SpecialSlot(n));
}

std::optional<std::string_view> BlobBytes(const Signature& signature, std::uint32_t type)
{
    const Blob* blob = signature.Find(type);
    return blob ? std::optional(blob->bytes) : std::nullopt;
}

unsigned CheckCodeDirectory(const CodeDirectory& cd, const Slice& slice, const BundleFiles& files)
{
    const Signature& signature = *slice.signature;
    Hasher hasher(cd.hashType);
    unsigned breaks = 0;
    const std::string_view code = slice.bytes.substr(0, cd.codeLimit);
    for (std::uint32_t i = 0; i < cd.nCodeSlots; ++i) {
        const std::uint64_t start = cd.pageSize == 0 ? 0 : std::uint64_t(i) << cd.pageSize;
        if (!hasher.Matches(code.substr(start, cd.pageSize == 0 ? code.size() : 1ull << cd.pageSize),
                            cd.CodeSlot(i))) {
            breaks |= kCodeChanged;
            break;
        }
    }
    const std::optional<std::string_view> infoPlist = files.infoPlist ? files.infoPlist : slice.infoPlist;
    if (!SlotMatches(cd, 1, infoPlist, true, hasher)) breaks |= kInfoPlistChanged;
    if (!SlotMatches(cd, 2, BlobBytes(signature, kRequirementsSlot), false, hasher))
        breaks |= kRequirementsChanged;
    const bool sealBound = 3 <= cd.nSpecialSlots && !IsZero(cd.SpecialSlot(3));
    if (!SlotMatches(cd, 3, files.codeResources, true, hasher))
        breaks |= kResourcesChanged;
    else if (sealBound && !files.resourcesAsSealed)
        breaks |= files.resourcesUnchecked.empty() ? kResourcesChanged : kResourcesUnchecked;
    for (std::uint32_t n : {kEntitlementsSlot, kDerEntitlementsSlot})
        if (!SlotMatches(cd, n, BlobBytes(signature, n), false, hasher)) breaks |= kEntitlementsChanged;
    for (std::uint32_t n = kFirstConstraintSlot; n <= kLastConstraintSlot; ++n)
        if (!SlotMatches(cd, n, BlobBytes(signature, n), false, hasher)) breaks |= kConstraintsChanged;
    return breaks;
}

// Alternates hash the same things in another hash type; everything else they state must be the same.
bool Agree(const CodeDirectory& a, const CodeDirectory& b)
{
    const auto bound = [](const CodeDirectory& cd) {
        std::vector<bool> slots;
        for (std::uint32_t n = 1; n <= std::max<std::uint32_t>(cd.nSpecialSlots, kLastConstraintSlot); ++n)
            slots.push_back(n <= cd.nSpecialSlots && !IsZero(cd.SpecialSlot(n)));
        return slots;
    };
    return a.identifier == b.identifier && a.teamId == b.teamId && a.flags == b.flags &&
           a.codeLimit == b.codeLimit && a.pageSize == b.pageSize && a.platform == b.platform &&
           bound(a) == bound(b);
}

SliceCheck CheckSlice(const Slice& slice, const BundleFiles& files)
{
    const Signature& signature = *slice.signature;
    const CodeDirectory& primary = signature.codeDirectories.front();
    SliceCheck check;
    check.bindsInfoPlist = primary.nSpecialSlots >= 1 && !IsZero(primary.SpecialSlot(1));
    check.breaks |= SliceRuleBreaks(slice);
    for (const CodeDirectory& cd : signature.codeDirectories) {
        check.breaks |= CheckCodeDirectory(cd, slice, files);
        if (!Agree(cd, primary)) check.breaks |= kAlternatesDisagree;
    }
    // Under the ad hoc flag macOS does not even read the CMS wrapper, so what is left in it does not
    // count; without the flag the CMS must name every CodeDirectory, alternates included.
    const Blob* cms = signature.Find(kCmsSlot);
    const bool adhocFlag = primary.flags & kAdhoc;
    check.cms = !adhocFlag && cms && cms->bytes.size() > kEmptyCmsLength;
    if (check.cms) {
        const std::string_view der = cms->bytes.substr(8);
        CmsFacts facts = ReadCms(der, primary);
        check.appleSigned = facts.signer.appleOwn;
        if (!facts.coversCodeDirectory || !CmsNamesEveryCodeDirectory(der, signature.codeDirectories))
            check.breaks |= kCmsMismatch;
        if (!facts.signer.broken.empty()) check.breaks |= kSignerInvalid;
        check.signer = std::move(facts.signer);
    } else if (!adhocFlag) {
        check.breaks |= kCmsMismatch;
    }
    return check;
}

}  // namespace

Result<Examined> Examine(const BundleFiles& files)
{
    Result<std::vector<Slice>> slices = ReadMachO(files.executable);
    if (!slices) return slices.error();
    Examined examined{std::move(*slices), {}, {}};
    Verdict& verdict = examined.verdict;
    bool anySigned = false, anyBinds = false;
    for (const Slice& slice : examined.slices) {
        examined.checks.emplace_back();
        if (!slice.signature) {
            verdict.breaks |= kSliceUnsigned;
            continue;
        }
        const SliceCheck check = *(examined.checks.back() = CheckSlice(slice, files));
        const CodeDirectory& primary = slice.signature->codeDirectories.front();
        // One developer slice makes it a developer's file, whichever slice comes first.
        if (!anySigned || (check.cms && verdict.adhoc)) {
            verdict.adhoc = !check.cms;
            verdict.linkerSigned = primary.flags & kLinkerSigned;
            verdict.teamId = primary.teamId.value_or("");
            verdict.signer = check.cms ? std::optional(check.signer) : std::nullopt;
        }
        if (verdict.signerInvalid.empty()) verdict.signerInvalid = check.signer.broken;
        // A linker signature beside one of a signer's is named by the other.
        if (!(primary.flags & kLinkerSigned) && check.cms == !verdict.adhoc) verdict.linkerSigned = false;
        anySigned = true;
        anyBinds |= check.bindsInfoPlist;
        verdict.breaks |= check.breaks;
    }
    if (anySigned) verdict.breaks |= FileRuleBreaks(files.executable, examined.slices);
    if (verdict.breaks & kResourcesUnchecked) verdict.resourcesUnchecked = files.resourcesUnchecked;
    if (!anySigned)
        verdict = Verdict{};
    else
        verdict.state = verdict.breaks ? State::Broken : anyBinds ? State::Valid : State::NotBound;
    return examined;
}

Result<Verdict> Verify(const BundleFiles& files)
{
    Result<Examined> examined = Examine(files);
    if (!examined) return examined.error();
    return examined->verdict;
}

std::string Describe(const Verdict& verdict)
{
    const std::string kind = verdict.linkerSigned ? "linker signature"
                             : verdict.adhoc
                                 ? "ad hoc"
                                 : "developer" + (verdict.teamId.empty() ? "" : ", team " + verdict.teamId);
    switch (verdict.state) {
    case State::Unsigned: return "unsigned";
    case State::NotBound: return "signature does not bind Info.plist (" + kind + ")";
    case State::Valid:
        if (verdict.signer && !verdict.adhoc) {
            const std::string name = verdict.signer->name.empty() ? kind : verdict.signer->name;
            return verdict.signer->appleChain
                       ? "signature valid (" + name + ")"
                       : "signature intact, but not from a certificate of Apple's (" + name + ")";
        }
        return "signature valid (" + kind + ")";
    case State::Broken:
        // Nothing found changed, but not all could be looked at: no tampering is claimed.
        if (verdict.breaks == kResourcesUnchecked)
            return "signature cannot be checked: " + verdict.resourcesUnchecked;
        return "signature broken: " + DescribeBreaks(verdict.breaks, verdict.signerInvalid);
    }
    return {};
}

std::string DescribeBreaks(unsigned breaks, std::string_view signerInvalid)
{
    static const std::pair<Break, const char*> kTexts[] = {
        {kInfoPlistChanged, "Info.plist changed"},
        {kCodeChanged, "code changed"},
        {kResourcesChanged, "resources changed"},
        {kEntitlementsChanged, "entitlements changed"},
        {kRequirementsChanged, "requirements changed"},
        {kConstraintsChanged, "launch constraints changed"},
        {kCmsMismatch, "CodeDirectory does not match its CMS signature"},
        {kAlternatesDisagree, "CodeDirectories disagree"},
        {kSliceUnsigned, "a slice is unsigned"},
        {kResourcesUnchecked, "resources cannot be checked"},
        {kSignerInvalid, "CMS signature invalid"},
        {kCodeLimitShort, "code limit short of the code"},
        {kScatter, "scatter vector"},
        {kPageSize, "page size out of range"},
        {kLinkEditNotLast, "__LINKEDIT does not end the slice"},
        {kEntitlementsForm, "entitlements not a property list"},
        {kUniversalHeader, "universal header not 32-bit big-endian"},
        {kUniversalLayout, "bytes between or after the slices"},
        {kCodeLimitNotSignature, "code limit not at the signature"},
        {kTeamIdsDiffer, "slices' team IDs differ"},
    };
    std::string text;
    for (const auto& [bit, words] : kTexts)
        if (breaks & bit)
            text += (text.empty() ? "" : ", ") +
                    std::string(bit == kSignerInvalid && !signerInvalid.empty() ? signerInvalid : words);
    return text;
}

}  // namespace macho
