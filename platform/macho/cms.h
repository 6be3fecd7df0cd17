// SPDX-License-Identifier: MIT
#pragma once
// A developer's CMS signature checked as macOS checks it, from the certificates it carries alone:
// its signature over the signed attributes, its message digest against the primary CodeDirectory,
// and the chain from the signer's certificate to a self-signed root, which is Apple's only when its
// SHA-256 is one of Apple's roots. Revocation and notarisation need Apple's servers: not checked.

#include "macho.h"

#include <string>
#include <string_view>
#include <vector>

namespace macho {

// Who signed, as codesign names it.
struct Signer {
    std::string name;                      // the signer's common name ("Developer ID Application: …")
    std::string team;                      // the signer's first subject OU
    std::vector<std::string> authorities;  // common names, the signer's first, the root's last
    bool appleChain = false;               // the root is one of Apple's
    bool appleOwn = false;                 // Apple's own code, not a developer's
    bool expired = false;                  // held only with expiry allowed (no timestamp to hold it at)
    bool timestamped = false;              // a secure timestamp vouches for the signing time
    std::string broken;                    // why the signature or its chain does not hold; empty: it does
};

struct CmsFacts {
    bool coversCodeDirectory = false;  // its message digest is the primary CodeDirectory's
    Signer signer;
};

// `der` is the CMS message without its blob header. Nothing readable gives a broken signer.
CmsFacts ReadCms(std::string_view der, const CodeDirectory& primary);

}  // namespace macho
