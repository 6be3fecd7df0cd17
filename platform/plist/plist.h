// SPDX-License-Identifier: MIT
#pragma once
// Reading and writing property lists the way CoreFoundation does, and the plug-in's
// operations that the program calls (bound by their declaration strings).

#include "cfobject.h"
#include "error.h"
#include "plugin_interface.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plist {

enum class Format { Binary, XML, OpenStep };

struct ParseResult {
    CFObjectZorpRef root;  // nullptr on failure
    Format format = Format::XML;
    ParseError error;  // its kind is None when root is set
};

// Binary when the data begins with "bplist0", else XML; when that fails, the old text format.
ParseResult Parse(std::string_view bytes);

// CoreFoundation's XML serialisation, byte for byte; nullopt when the tree holds what XML
// cannot carry (null, set, a dictionary key that is not a string).
std::optional<std::string> WriteXML(const CFObjectZorp& root);

// The same text, for output that need not be one string: once all of it is written, it is handed
// to `sink` in the pieces it was written in, in order (each valid only during its call). False
// where WriteXML gives nullopt, and then `sink` is not called.
bool WriteXML(const CFObjectZorp& root, const std::function<void(std::string_view piece)>& sink);

}  // namespace plist

// The plug-in's operations, each exported under its declaration string.
CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s);
CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data);  // nullptr: no root
CFStringZorpRef NewCFStringZorp(const std::string& s);
std::string ZorpPluginVersion();

namespace plist {

// The exported entry point for a declaration string of plugin_interface.h, written exactly as
// there; nullptr when unknown.
plugin::Entrypoint LookupEntrypoint(std::string_view declaration);

}  // namespace plist
