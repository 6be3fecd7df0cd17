// SPDX-License-Identifier: MIT
#include "error.h"

namespace macfork {

const char* Describe(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::Truncated: return "a header or table runs past the end";
    case ErrorKind::BadMagic: return "not an AppleDouble file";
    case ErrorKind::BadVersion: return "unknown AppleDouble version";
    case ErrorKind::InvalidEntryId: return "entry ID 0";
    case ErrorKind::EntryOutOfRange: return "entry outside the file";
    case ErrorKind::EntryOverlapsHeader: return "entry overlaps the header";
    case ErrorKind::EntriesOverlap: return "entries overlap";
    case ErrorKind::DuplicateEntry: return "two entries with one ID";
    case ErrorKind::HeaderOutOfRange: return "resource data or map outside the fork";
    case ErrorKind::DataOverlapsMap: return "resource data overlaps the map or header";
    case ErrorKind::MapTooShort: return "resource map too short";
    case ErrorKind::ListOutOfRange: return "type or name list outside the map";
    case ErrorKind::TypeListOutOfRange: return "type list runs past the map";
    case ErrorKind::ReferenceListOutOfRange: return "reference list runs past the map";
    case ErrorKind::DataOutOfRange: return "resource data block outside the data area";
    case ErrorKind::NameOutOfRange: return "resource name outside the name list";
    case ErrorKind::DuplicateType: return "a type listed twice";
    case ErrorKind::DuplicateId: return "an ID twice within a type";
    case ErrorKind::BadLength: return "a size or count the store does not allow";
    case ErrorKind::TooLarge: return "too large for the format's fields";
    }
    return "unknown error";
}

}  // namespace macfork
