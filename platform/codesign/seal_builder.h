// SPDX-License-Identifier: MIT
#pragma once
// A bundle's _CodeSignature/CodeResources made from scratch: Apple's default rules, and every file,
// link and piece of nested code they seal, written as CoreFoundation writes XML.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

// What the default rules make of a path below the sealed root (Contents/, or Versions/<v>/).
struct Placement {
    enum class Role { Omitted, Sealed, Nested };
    Role role = Role::Sealed;
    bool optional = false;  // under a .lproj folder: may be missing
    bool legacy = false;    // listed in the legacy `files` too (regular files only)
};
Placement Place(std::string_view path);

// What the signer takes the item at `path` below the sealed root for: nested code is a bundle (a
// folder with a dot in its name) or a file, in a place the rules seal as nested code. Signing and
// verifying find nested code by this one rule.
enum class NestedCode { None, Bundle, Loose };
NestedCode NestedCodeAt(std::string_view path, bool folder);

// Never listed, never ruled: the signature's own folder, a stapled ticket, a receipt.
bool Excluded(std::string_view topName);

struct SealEntry {
    enum class Kind { File, Link, Nested };
    Kind kind = Kind::File;
    std::string path;
    std::string sha1, sha256;         // a file's hashes (SHA-1 for `files`, and `hash` when asked)
    std::string target;               // a link's
    std::string cdhash, requirement;  // nested code's
    bool optional = false;
};

// The CodeResources bytes; `sha1` adds the `hash` key beside `hash2`, for code that runs on macOS
// before 10.11.4. None when a path is not valid UTF-8.
std::optional<std::string> WriteSeal(const std::vector<SealEntry>& entries, bool sha1);

}  // namespace codesign
