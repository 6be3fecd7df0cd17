// SPDX-License-Identifier: MIT
#pragma once
// What a fork reader reports when the bytes do not hold what the format allows.

#include "platform/byteorder/result.h"

#include <cstdint>
#include <utility>

namespace macfork {

enum class ErrorKind {
    Truncated,  // a header or table runs past the end of the input
    BadMagic,   // not an AppleDouble file (AppleSingle included)
    BadVersion,
    InvalidEntryId,   // entry ID 0
    EntryOutOfRange,  // an entry's offset + length lies past the end of the file
    EntryOverlapsHeader,
    EntriesOverlap,
    DuplicateEntry,    // two entries with one ID
    HeaderOutOfRange,  // resource data or map outside the fork
    DataOverlapsMap,
    MapTooShort,
    ListOutOfRange,  // type list or name list outside the map
    TypeListOutOfRange,
    ReferenceListOutOfRange,
    DataOutOfRange,
    NameOutOfRange,
    DuplicateType,
    DuplicateId,
    BadLength,  // a store of a fixed size or count that has another
    TooLarge,   // a writer's value does not fit its field
};

const char* Describe(ErrorKind kind);

struct Error {
    ErrorKind kind;
    std::uint64_t offset = 0;  // where in the input it was found
};

template <class T>
using Result = byteorder::Result<T, Error>;

}  // namespace macfork
