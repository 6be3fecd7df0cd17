// SPDX-License-Identifier: MIT
#pragma once
// Whether an executable's embedded signature still matches its code and the bundle files it binds,
// and for a developer's, who signed it (see cms.h).

#include "cms.h"
#include "error.h"

#include <optional>
#include <string>
#include <string_view>

namespace macho {

// The bytes a signature binds. The caller reads them; none of them is followed through a link.
struct BundleFiles {
    std::string_view executable;                    // Contents/MacOS/<CFBundleExecutable>
    std::optional<std::string_view> infoPlist;      // Contents/Info.plist; none: a bare tool's own section
    std::optional<std::string_view> codeResources;  // Contents/_CodeSignature/CodeResources
    // Whether the bundle's files are as CodeResources records them, which the caller checks; it
    // matters only where the signature binds CodeResources.
    bool resourcesAsSealed = true;
    // Why they could not be checked ("resources cannot be read (WHY)"); empty when they were.
    std::string_view resourcesUnchecked = {};
};

enum class State { Unsigned, NotBound, Valid, Broken };

enum Break : unsigned {
    kInfoPlistChanged = 1u << 0,
    kCodeChanged = 1u << 1,
    kResourcesChanged = 1u << 2,
    kEntitlementsChanged = 1u << 3,
    kRequirementsChanged = 1u << 4,
    kConstraintsChanged = 1u << 5,
    kCmsMismatch = 1u << 6,  // the CodeDirectory no longer matches its CMS signature or ad hoc flag
    kAlternatesDisagree = 1u << 7,
    kSliceUnsigned = 1u << 8,
    kResourcesUnchecked = 1u << 9,  // the sealed files could not be checked: never vouched for
    kSignerInvalid = 1u << 10,      // the CMS signature or its certificate chain does not hold
    // Rules macOS applies beyond the hashes (strict.h), each named by its own text.
    kCodeLimitShort = 1u << 11,         // the signed code stops before the load commands or segments end
    kScatter = 1u << 12,                // a scatter vector
    kPageSize = 1u << 13,               // pages other than 4 to 16 KiB
    kLinkEditNotLast = 1u << 14,        // __LINKEDIT does not end the slice
    kEntitlementsForm = 1u << 15,       // an entitlements blob that is not a property list
    kUniversalHeader = 1u << 16,        // a universal header other than the 32-bit big-endian one
    kUniversalLayout = 1u << 17,        // bytes between or after the slices
    kCodeLimitNotSignature = 1u << 18,  // the main slice's signed code does not end at its signature
    kTeamIdsDiffer = 1u << 19,          // slices of different team IDs
};

struct Verdict {
    State state = State::Unsigned;
    bool adhoc = false;         // no CMS signature (else a developer's)
    bool linkerSigned = false;  // a signature the linker made
    std::string teamId;
    unsigned breaks = 0;             // Break bits, for State::Broken
    std::string resourcesUnchecked;  // for kResourcesUnchecked: why
    std::optional<Signer> signer;    // of a developer's signature: the slice's that names the kind
    std::string signerInvalid;       // for kSignerInvalid: why
};

Result<Verdict> Verify(const BundleFiles& files);

// "signature valid (ad hoc)", "signature valid (Developer ID Application: NAME (TEAM))",
// "signature broken: Info.plist changed", "unsigned", ...
std::string Describe(const Verdict& verdict);
// What broke, without the "signature broken: " before it: "Info.plist changed, code changed";
// `signerInvalid` names what of the CMS signature does not hold.
std::string DescribeBreaks(unsigned breaks, std::string_view signerInvalid = {});

}  // namespace macho
