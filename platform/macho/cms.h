// SPDX-License-Identifier: MIT
#pragma once
// What the signature library needs from a CMS wrapper without checking its cryptography: whether it
// still covers this CodeDirectory, and whether Apple itself signed it.

#include <string_view>

namespace macho {

struct CmsFacts {
    bool coversCodeDirectory = false;  // its message digest is the primary CodeDirectory's
    bool appleSigned = false;          // the signer's certificate is Apple's own, not a developer's
};

// Nothing readable in `der` gives all false.
CmsFacts ReadCms(std::string_view der, std::string_view primaryCodeDirectory);

}  // namespace macho
