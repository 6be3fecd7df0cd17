// SPDX-License-Identifier: MIT
#include "error.h"

namespace macho {

const char* Describe(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::Truncated: return "a header or table runs past the end";
    case ErrorKind::NotMachO: return "not a Mach-O executable";
    case ErrorKind::BadFatHeader: return "a universal file without slices";
    case ErrorKind::SliceOutOfRange: return "a slice lies outside the file";
    case ErrorKind::SlicesOverlap: return "two slices overlap";
    case ErrorKind::BadLoadCommand: return "a load command of a wrong size";
    case ErrorKind::DuplicateLoadCommand: return "a load command given twice";
    case ErrorKind::SignatureOutOfRange: return "the signature lies outside its slice";
    case ErrorKind::BadSuperBlob: return "the signature is not a SuperBlob";
    case ErrorKind::BlobOutOfRange: return "a signature blob lies outside its SuperBlob";
    case ErrorKind::BadBlobMagic: return "a signature blob of the wrong kind";
    case ErrorKind::DuplicateBlob: return "two signature blobs of one type";
    case ErrorKind::NoCodeDirectory: return "a signature without a CodeDirectory";
    case ErrorKind::UnsupportedVersion: return "an unknown CodeDirectory version";
    case ErrorKind::BadHashType: return "an unknown hash type or size";
    case ErrorKind::BadPageSize: return "a page size out of range";
    case ErrorKind::HashesOutOfRange: return "hash slots lie outside the CodeDirectory";
    case ErrorKind::BadIdentifier: return "an identifier or team ID outside its place in the CodeDirectory";
    case ErrorKind::CodeLimitOutOfRange: return "the signed code runs into the signature";
    case ErrorKind::SlotCountMismatch: return "the code slots do not cover the signed code";
    case ErrorKind::SectionOutOfRange: return "the embedded Info.plist lies outside its slice";
    case ErrorKind::SliceNotMachO: return "a slice is not a Mach-O executable";
    case ErrorKind::UnsupportedFileType: return "a kind of Mach-O file that carries no signature";
    case ErrorKind::NoLinkedit: return "no __LINKEDIT segment at the end to hold the signature";
    case ErrorKind::SignatureNotLast: return "data after the signature";
    case ErrorKind::NoRoomForSignature: return "no room in the header for a signature load command";
    case ErrorKind::TooLarge: return "the signed file would be too large for its format";
    case ErrorKind::RefusedLayout: return "a layout macOS refuses in signed code";
    }
    return "unknown error";
}

}  // namespace macho
