// SPDX-License-Identifier: MIT
#pragma once
// Signing a Mach-O file ad hoc from scratch, whatever signature it had: a new CodeDirectory for every
// slice over the code as it is now, written where the old signature was or in room made for it.

#include "error.h"
#include "macho.h"

#include "platform/byteorder/large_buffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace macho {

struct SignRequest {
    std::string identifier;
    std::optional<std::string_view> infoPlist;      // slot -1; none: each slice's own __info_plist
    std::optional<std::string_view> codeResources;  // slot -3; none for code outside a bundle's seal
};

struct SignedCode {
    byteorder::LargeBytes bytes;  // the whole new file
    bool grown = false;           // a signature area was grown or added, so the file's layout changed
    bool sha1 = false;            // SHA-1 CodeDirectories beside SHA-256 ones, for macOS before 10.11.4
};

// Kept from an old signature that was not the linker's: the hardened-runtime flag and version and
// the entitlement blobs. Every code page is hashed again. `stableFd`: the open file `file` is, when
// nobody can change it while the result lives (ReadLarge's lease); the new file then holds the
// old one's unchanged pages as that file's own, mapped, not copied.
Result<SignedCode> SignAdHoc(std::string_view file, const SignRequest& request, int stableFd = -1);

// An ad hoc signature's CodeDirectories, every slice's, binding new CodeResources bytes in slot -3
// and nothing else changed: what a container needs once a bundle nested in it is signed again.
// None when a slice is unsigned, signed by a developer (a CMS) or binds no CodeResources.
std::optional<std::string> WithSealHash(std::string_view file, std::string_view codeResources);

// Whether SignAdHoc makes SHA-1 CodeDirectories beside SHA-256 ones, which a seal's `hash` keys follow.
bool WantsSha1(std::string_view file);

// The identifier of a file signed on its own: its name less a final non-numeric extension, numeric
// parts after the first dropped ("libssl.1.1.dylib" -> "libssl.1").
std::string IdentifierForFile(std::string_view name);

// What a container's seal records of nested code: the chosen CodeDirectory's cdhash (SHA-256 when
// there is one; the arm64 slice, else the first) and, for ad hoc code, its implicit designated
// requirement, one `cdhash H"..."` term per CodeDirectory of every slice.
struct NestedSeal {
    std::string cdhash;       // 20 bytes
    std::string requirement;  // empty when a slice is unsigned
};
NestedSeal SealOf(const std::vector<Slice>& slices);

}  // namespace macho
