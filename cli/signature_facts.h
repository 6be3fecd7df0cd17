// SPDX-License-Identifier: MIT
#pragma once
// What a path's code signature is, for --verify and the JSON reports: the verdict, and the facts
// codesign -dv shows (identifier, CodeDirectories, cdhash per slice, team, sealed resources,
// nested code), read without writing anything.

#include "platform/files/file_error.h"
#include "platform/framework/folder_item.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CodeDirectoryFacts {
    std::uint32_t version = 0, flags = 0, specialSlots = 0, codeSlots = 0, size = 0;
    std::uint8_t hashType = 0, pageSizeLog2 = 0;
    std::string cdhash;  // hex
    bool bindsInfoPlist = false;
};

struct SliceFacts {
    std::string arch;
    std::vector<CodeDirectoryFacts> codeDirectories;  // the primary first; none when unsigned
};

struct SignatureFacts {
    enum class State {
        None,  // nothing signable: no executable named, or not Mach-O
        Unsigned,
        LinkerOnly,  // a signature that binds nothing but the code (the linker's, or one like it)
        Valid,
        Broken,      // `text` says what
        Unreadable,  // the signature, or a file it needs, could not be read or checked
    };
    State state = State::None;
    std::string kind;  // "ad hoc", "developer", "linker", or "" for none
    std::string text;  // as --check says it: "signature valid (ad hoc)", "unsigned", ...
    std::string breaks;
    std::string identifier, team;
    std::string signer;                  // the signer's name, for a developer's signature
    std::vector<std::string> authority;  // the signer's chain, leaf first
    bool appleChain = false;             // the chain ends at one of Apple's roots
    std::vector<SliceFacts> slices;
    std::string format;                      // "app bundle with Mach-O thin (arm64)", ...
    std::optional<std::size_t> sealedFiles;  // the seal's entries
    struct Nested {
        std::string path;  // below the bundle
        std::string text;  // its verdict, as `text`
        bool valid = false;
    };
    std::vector<Nested> nested;
    std::vector<std::string> files;  // what was read: the executable, relative to the path
    FileError cause;

    bool Valid() const;
};

// A bundle, with its Contents/Info.plist as read and the executable it names; nested code in the
// usual places is judged too, down to a few levels. The seal's count of files only with `details`.
SignatureFacts BundleSignature(const FolderItem& bundle, const std::string& infoPlist,
                               const std::string& executable, bool details = false);
// A bare Mach-O file (a tool), whose Info.plist, if any, is its own section.
SignatureFacts ToolSignature(const FolderItem& tool);
// From an executable's bytes and the verdict's parts alone: for a signature made in memory.
void ReadSlices(std::string_view executable, SignatureFacts& facts);
