// SPDX-License-Identifier: MIT
#pragma once
// One slice's signature checked against its code and the bundle's files: shared by the verifier and
// the re-signer, which judges what is broken before it replaces anything.

#include "cms.h"
#include "macho.h"
#include "verify.h"

#include <optional>
#include <vector>

namespace macho {

struct SliceCheck {
    bool bindsInfoPlist = false;
    bool cms = false;  // a non-empty CMS wrapper
    bool appleSigned = false;
    Signer signer;  // of a non-empty CMS wrapper
    unsigned breaks = 0;
};

// Every slice read, and checked where it is signed: one pass over the code for both callers.
struct Examined {
    std::vector<Slice> slices;
    std::vector<std::optional<SliceCheck>> checks;  // none for an unsigned slice
    Verdict verdict;
};

Result<Examined> Examine(const BundleFiles& files);

}  // namespace macho
