// SPDX-License-Identifier: MIT
#pragma once
// A bundle's main executable, Contents/MacOS/<CFBundleExecutable>, and the other files its code
// signature binds, read through open folders (no link is followed); what --check says of that
// signature; and the signed bundle around one whose signature was renewed.

#include "platform/files/file_error.h"
#include "platform/files/file_replacement.h"
#include "platform/files/open_folder.h"
#include "platform/macho/error.h"
#include "platform/macho/verify.h"

#include <filesystem>
#include <optional>
#include <string>

struct BundleCode {
    enum class Status {
        None,    // no executable named, or none of that name: nothing signed binds the list
        Read,    // `executable` holds it
        Failed,  // `message` and `cause` say why
    };
    Status status = Status::None;
    std::string name;                          // the executable's, as shown
    FileRewrite executable;                    // its bytes, and where they go back
    std::optional<std::string> codeResources;  // Contents/_CodeSignature/CodeResources
    bool resourcesAsSealed = true;             // the files it seals are as it records them
    std::string resourcesUnchecked;            // why they could not be checked, when they could not
    unsigned folderBreaks = 0;                 // the bundle's folders' rules it breaks (macho::Break)
    std::string message;
    FileError cause;

    // What the signature binds, with `infoPlist` as Contents/Info.plist.
    macho::BundleFiles Files(const std::string& infoPlist) const
    {
        return {executable.bytes,  infoPlist,          codeResources,
                resourcesAsSealed, resourcesUnchecked, folderBreaks};
    }
};

// `bundle` is the bundle's folder, `executable` its list's CFBundleExecutable. Its top folder may
// hold only Contents and the files Finder leaves (not executable), and _CodeSignature only the
// signature's files; AppleDouble companions, the attributes of a Mac's volume, are passed over.
// `passOverLeftovers`: see CheckSeal.
BundleCode ReadBundleCode(const OpenFolder& bundle, const std::string& executable,
                          bool passOverLeftovers = false);

// Whether other Mach-O code loads into the application's own process (frameworks, in-process
// plug-ins, libraries beside the executable): library validation refuses it once the application
// is signed ad hoc.
bool OtherCodeInside(const OpenFolder& contents, const std::string& executable);

// Why a signature the reader cannot make sense of is not judged: "signature cannot be read (WHY at
// offset N)".
std::string Unreadable(const macho::Error& error);

// What --check tells of a bundle's signature.
struct SignatureReading {
    enum class Status {
        None,    // the bundle holds no executable its list names
        Read,    // `text` is its state ("signature valid (ad hoc)", "unsigned", ...)
        Failed,  // `text` is the message, `cause` what the files layer said
    };
    Status status = Status::None;
    std::string text;
    bool passes = false;  // neither broken nor unreadable
    FileError cause;
};
// Of a bundle whose Contents/Info.plist holds `infoPlist`, as already read, naming `executable`.
SignatureReading ReadSignature(const OpenFolder& bundle, const std::string& infoPlist,
                               const std::string& executable);

// The bundle whose sealed folder (Contents/ or Versions/X/ with a _CodeSignature/CodeResources)
// holds `bundle`, found up its parents: its seal records the signature `bundle` had.
std::optional<std::filesystem::path> EnclosingSignedBundle(const std::filesystem::path& bundle);
