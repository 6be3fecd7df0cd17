// SPDX-License-Identifier: MIT
#pragma once
// The check each reader's fuzz target makes: no input crashes it; a refusal says why, at an offset
// within the input; and a list that reads and writes as XML writes XML that reads back the same.

#include "platform/plist/plist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Fault: every list the reader builds must be writable as XML.
enum class Unwritable { Fault, Allowed };

inline int RoundTrip(const std::uint8_t* data, std::size_t size, plist::Format format, Unwritable unwritable,
                     bool (*exempt)(const CFObjectZorp& root) = nullptr)
{
    const plist::ParseResult first =
        plist::Parse(std::string_view(reinterpret_cast<const char*>(data), size), format);
    if (!first.root) {
        if (first.error.kind == plist::ErrorKind::None || first.error.offset > size) std::abort();
        return 0;
    }
    const auto xml = plist::WriteXML(*first.root);
    if (!xml && unwritable == Unwritable::Fault) std::abort();
    if (!xml || (exempt && exempt(*first.root))) return 0;
    const plist::ParseResult again = plist::Parse(*xml);
    if (!again.root || plist::WriteXML(*again.root) != xml) std::abort();
    return 0;
}
