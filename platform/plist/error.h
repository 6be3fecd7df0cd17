// SPDX-License-Identifier: MIT
#pragma once
// What a property-list reader reports when the bytes are not a list it can read, and where.

#include <cstddef>

namespace plist {

enum class ErrorKind {
    None,
    Empty,            // no bytes at all
    BadEncoding,      // text not valid in its encoding
    UnknownEncoding,  // an XML declaration names an encoding we do not read
    UnexpectedEnd,
    Unterminated,  // a comment, section, string, data or container without its end
    TooDeep,       // containers nested deeper than the readers allow
    UnpairedSurrogate,
    // XML
    NoRoot,
    UnexpectedText,  // character data where markup belongs
    BadMarkup,       // "<!" that is no comment, CDATA section or DOCTYPE
    DoctypeSubset,
    MalformedTag,
    UnknownTag,
    MismatchedCloseTag,
    KeyExpected,  // a dictionary value where its key belongs
    KeyWithoutValue,
    ExtraValue,    // <plist> with more than one value
    EmptyElement,  // <plist>, <integer>, <real>, <date> or <data> without content
    ContentInBoolean,
    UnknownEntity,
    BadCharacterReference,
    BadInteger,
    IntegerOutOfRange,
    BadReal,
    BadDate,
    BadData,  // base64 or hex data with a character it may not hold
    // old text format
    UnexpectedCharacter,
    TrailingText,
    ExpectedEqualsOrSemicolon,
    MissingSemicolon,
    // binary
    TooShort,
    BadHeader,
    BadOffsetSize,
    BadReferenceSize,
    BadObjectCount,
    BadTopObject,
    OffsetTableOutside,
    OffsetTableGap,  // the offset table does not end at the trailer
    ReferencesTooSmall,
    OffsetsTooSmall,
    TooManyObjects,
    ObjectOutsideObjects,  // an offset at or past the offset table
    ObjectInHeader,
    UnknownMarker,
    ObjectTruncated,  // an object runs into the offset table
    BadCount,
    NonFiniteDate,
    ContainerKey,
    UIDOutOfRange,
    ReferenceOutOfRange,
    ObjectContainsItself,
    ExpandsTooFar,  // shared objects stand for a tree far larger than the file
};

// One line, for developers.
const char* Describe(ErrorKind kind);

struct ParseError {
    ErrorKind kind = ErrorKind::None;
    std::size_t offset = 0;  // byte offset in the input where reading failed
};

}  // namespace plist
