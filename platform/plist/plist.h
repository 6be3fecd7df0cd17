// SPDX-License-Identifier: MIT
#pragma once
// Reading and writing property lists the way CoreFoundation does.

#include "platform/plist/cfobject.h"
#include "platform/plist/error.h"

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

// Only as `format`, for callers that know what they read.
ParseResult Parse(std::string_view bytes, Format format);

// CoreFoundation's XML serialisation, byte for byte; nullopt when the tree holds what XML
// cannot carry (null, set, a dictionary key that is not a string).
std::optional<std::string> WriteXML(const CFObjectZorp& root);

// The same text, for output that need not be one string: once all of it is written, it is handed
// to `sink` in the pieces it was written in, in order (each valid only during its call). False
// where WriteXML gives nullopt, and then `sink` is not called.
bool WriteXML(const CFObjectZorp& root, const std::function<void(std::string_view piece)>& sink);

}  // namespace plist
