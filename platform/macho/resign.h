// SPDX-License-Identifier: MIT
#pragma once
// Replacing an executable's signature by an ad hoc one after only its Info.plist changed, and
// judging first whether that would harm the application. The new signature is written where the old
// one was, in every slice and for every CodeDirectory, so no byte of code changes.

#include "verify.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace macho {

// What the caller knows about the bundle and what it allows.
struct BundleFacts {
    // Whether Mach-O code is loaded in process (Contents/Frameworks, dylibs, plug-ins); asked only
    // where library validation would refuse it, as finding out means listing folders. Unset: none.
    std::function<bool()> otherCodeInside;
    bool allowDeveloper = false;  // a developer's CMS signature may be replaced
};

enum class Action { LeaveAlone, Resign, Refuse };

enum class Refusal {
    None,
    DeveloperSignature,
    RestrictedEntitlements,
    LibraryValidation,
    Constraints,
    Encrypted,
    PlatformBinary,
    AppleSigned,
    AlreadyBroken,
    DoesNotFit,
    SignerKept,  // a slice left as it is keeps a developer's signature or team ID that the renewed ones lose
};

struct Decision {
    Action action = Action::LeaveAlone;  // LeaveAlone: unsigned, Info.plist not bound, or still valid
    Refusal reason = Refusal::None;
    std::string detail;      // the entitlement, or what was already broken
    bool developer = false;  // the signature is a developer's (CMS)
};

// New bytes for one slice's signature area: the SuperBlob, zero-filled to the area's end.
struct Replacement {
    std::uint64_t offset = 0;  // in the file
    std::string bytes;
};

struct Resigned {
    Decision decision;
    std::vector<Replacement> replacements;  // for Action::Resign only; nothing else in the file changes

    // The executable's bytes with the replacements written over them, in place (no copy of the file).
    void ApplyTo(std::string& executable) const;
};

Result<Resigned> ResignAdHoc(const BundleFiles& files, const BundleFacts& facts);

// "restricted entitlements (keychain-access-groups)", "signature already broken (code changed)", ...
std::string Describe(const Decision& decision);

}  // namespace macho
