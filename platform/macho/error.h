// SPDX-License-Identifier: MIT
#pragma once
// What the Mach-O and signature readers report when the bytes do not hold what the format allows.

#include "platform/byteorder/result.h"

#include <cstdint>
#include <utility>

namespace macho {

enum class ErrorKind {
    Truncated,             // a header or table runs past the end of its container
    NotMachO,              // neither a universal nor a thin Mach-O file
    BadFatHeader,          // a universal file with no slices
    SliceOutOfRange,       // a slice lies outside the file
    SlicesOverlap,         // two slices share bytes
    BadLoadCommand,        // a load command's size is too small, unaligned or runs past the commands
    DuplicateLoadCommand,  // two code-signature or two encryption commands in one slice
    SignatureOutOfRange,   // the signature lies outside the slice or over the load commands
    BadSuperBlob,          // the signature area does not begin with an embedded-signature SuperBlob
    BlobOutOfRange,        // a blob's offset or length lies outside its SuperBlob
    BadBlobMagic,          // a blob's magic does not match its slot type
    DuplicateBlob,         // two blobs of one type
    NoCodeDirectory,       // a SuperBlob without a primary CodeDirectory
    UnsupportedVersion,    // a CodeDirectory version this reader does not know
    BadHashType,           // an unknown hash type, or a hash size that does not match it
    BadPageSize,           // a page size outside 2^0 .. 2^31
    HashesOutOfRange,      // special or code slots outside the CodeDirectory
    BadIdentifier,         // the identifier or team ID outside the CodeDirectory, not terminated, or
                           // over the header, the hashes or each other
    CodeLimitOutOfRange,   // the signed code runs past the signature's start
    SlotCountMismatch,     // the number of code slots does not cover the signed code
    SectionOutOfRange,     // the embedded Info.plist section lies outside the slice
    SliceNotMachO,         // a slice of a universal file is not a Mach-O file
    UnsupportedFileType,   // not an executable, library, bundle or loader that can carry a signature
    NoLinkedit,            // no __LINKEDIT segment to hold the signature, or one not last in the file
    SignatureNotLast,      // bytes after the signature, which a larger signature would overwrite
    NoRoomForSignature,    // no room in the header's padding for a signature load command
    TooLarge,              // the signed slice or universal file would pass the format's 4 GiB offsets
    RefusedLayout,         // once signed, a layout macOS refuses (__LINKEDIT not last, the universal
                           // header's form, gaps between slices, entitlements that are no list)
};

const char* Describe(ErrorKind kind);

struct Error {
    ErrorKind kind;
    std::uint64_t offset = 0;  // from the start of the file
};

template <class T>
using Result = byteorder::Result<T, Error>;

}  // namespace macho
