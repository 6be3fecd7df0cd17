// SPDX-License-Identifier: MIT
#pragma once
// Reading and writing property lists the way CoreFoundation does, and the plug-in's
// operations that the program calls (bound by their declaration strings).

#include "cfobject.h"
#include "error.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plist {

enum class Format { Binary, XML, OpenStep };

struct ParseResult {
    CFObjectZorpRef root;  // nullptr on failure
    Format format = Format::XML;
    ParseError error;      // its kind is None when root is set
};

// Binary when the data begins with "bplist0", else XML; when that fails, the old text format.
ParseResult Parse(std::string_view bytes);

// CoreFoundation's XML serialisation, byte for byte; nullopt when the tree holds what XML
// cannot carry (null, set, a dictionary key that is not a string).
std::optional<std::string> WriteXML(const CFObjectZorp& root);

}  // namespace plist

// The plug-in's operations, each exported under its declaration string.
CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s);
CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data);  // nullptr: no root
CFStringZorpRef NewCFStringZorp(const std::string& s);
std::string ZorpPluginVersion();

namespace plist {

// A type-erased entry point; the caller casts it back to the signature its declaration names.
using Entrypoint = void (*)();

// Receiver-first signatures of the method-style operations:
//   "CFDictionaryZorp.Edit as CFMutableDictionaryZorp"      CFMutableDictionaryZorpRef(const CFDictionaryZorpRef&)
//   "CFMutableDictionaryZorp.Add(key as CFObjectZorp,value as CFObjectZorp)"
//                                                           void(const CFMutableDictionaryZorpRef&, const CFObjectZorpRef&, const CFObjectZorpRef&)
//   "CFObjectZorp.XML as CFBinaryDataZorp"                  CFBinaryDataZorpRef(const CFObjectZorpRef&)  (nullptr: not writable)
//   "CFBinaryDataZorp.Str as String"                        std::string(const CFBinaryDataZorpRef&)
// A nil receiver gives a nil (or empty) result; the framework raises NilObjectException before that.
// The exported entry point for a declaration string, written exactly as documented
// (e.g. "NewCFStringZorp(s as string) as CFStringZorp"); nullptr when unknown.
Entrypoint LookupEntrypoint(std::string_view declaration);

}  // namespace plist
