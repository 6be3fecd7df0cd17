// SPDX-License-Identifier: MIT
#include "error.h"

namespace plist {

const char* Describe(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::None: return "no error";
    case ErrorKind::Empty: return "empty input";
    case ErrorKind::BadEncoding: return "text is not valid in its encoding";
    case ErrorKind::UnknownEncoding: return "unknown or unsupported encoding";
    case ErrorKind::UnexpectedEnd: return "unexpected end of input";
    case ErrorKind::Unterminated: return "comment, section, string, data or container without its end";
    case ErrorKind::TooDeep: return "containers nested too deeply";
    case ErrorKind::UnpairedSurrogate: return "string holds an unpaired UTF-16 surrogate";
    case ErrorKind::NoRoot: return "no root element";
    case ErrorKind::UnexpectedText: return "text where an element should be";
    case ErrorKind::BadMarkup: return "markup other than a comment, CDATA or DOCTYPE";
    case ErrorKind::DoctypeSubset: return "DOCTYPE with an internal subset";
    case ErrorKind::MalformedTag: return "malformed tag";
    case ErrorKind::UnknownTag: return "unknown tag";
    case ErrorKind::MismatchedCloseTag: return "close tag does not match its open tag";
    case ErrorKind::KeyExpected: return "a dictionary holds a value where a <key> belongs";
    case ErrorKind::KeyWithoutValue: return "a dictionary key without a value";
    case ErrorKind::ExtraValue: return "<plist> holds more than one value";
    case ErrorKind::EmptyElement: return "element without content";
    case ErrorKind::ContentInBoolean: return "<true> or <false> with content";
    case ErrorKind::UnknownEntity: return "unknown entity";
    case ErrorKind::BadCharacterReference: return "character reference to no Unicode character";
    case ErrorKind::BadInteger: return "misformatted <integer>";
    case ErrorKind::IntegerOutOfRange: return "<integer> outside -2^63 to 2^64-1";
    case ErrorKind::BadReal: return "misformatted <real>";
    case ErrorKind::BadDate: return "could not interpret <date>";
    case ErrorKind::BadData: return "data holds a character it may not";
    case ErrorKind::UnexpectedCharacter: return "unexpected character";
    case ErrorKind::TrailingText: return "unexpected text after the property list";
    case ErrorKind::ExpectedEqualsOrSemicolon: return "expected '=' or ';' after a dictionary key";
    case ErrorKind::MissingSemicolon: return "missing ';' after a dictionary entry";
    case ErrorKind::TooShort: return "too short for a binary property list";
    case ErrorKind::BadHeader: return "no bplist0 header";
    case ErrorKind::BadOffsetSize: return "offset size outside 1-8";
    case ErrorKind::BadReferenceSize: return "reference size outside 1-8";
    case ErrorKind::BadObjectCount: return "bad object count";
    case ErrorKind::BadTopObject: return "top object outside the object table";
    case ErrorKind::OffsetTableOutside: return "offset table outside the file";
    case ErrorKind::OffsetTableGap: return "offset table does not end at the trailer";
    case ErrorKind::ReferencesTooSmall: return "references too small for the object count";
    case ErrorKind::OffsetsTooSmall: return "offsets too small to reach the offset table";
    case ErrorKind::TooManyObjects: return "too many objects";
    case ErrorKind::ObjectOutsideObjects: return "object offset not before the offset table";
    case ErrorKind::ObjectInHeader: return "object offset inside the header";
    case ErrorKind::UnknownMarker: return "unknown object marker";
    case ErrorKind::ObjectTruncated: return "object runs into the offset table";
    case ErrorKind::BadCount: return "count is not an integer in range";
    case ErrorKind::NonFiniteDate: return "date is not a finite number";
    case ErrorKind::ContainerKey: return "dictionary key is a container";
    case ErrorKind::UIDOutOfRange: return "UID above 2^32-1";
    case ErrorKind::ReferenceOutOfRange: return "reference beyond the object count";
    case ErrorKind::ObjectContainsItself: return "object contains itself";
    case ErrorKind::ExpandsTooFar: return "shared objects expand far beyond the file's size";
    }
    return "unknown error";
}

}  // namespace plist
