// SPDX-License-Identifier: MIT
#pragma once
// One slice's signature checked against its code and the bundle's files: shared by the verifier and
// the re-signer, which judges what is broken before it replaces anything.

#include "macho.h"
#include "verify.h"

#include <string>

namespace macho {

struct SliceCheck {
    bool bindsInfoPlist = false;
    bool cms = false;  // a non-empty CMS wrapper
    bool appleSigned = false;
    unsigned breaks = 0;
};

// The slice must be signed.
SliceCheck CheckSlice(const Slice& slice, const BundleFiles& files);

}  // namespace macho
