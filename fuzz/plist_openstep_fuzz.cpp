// SPDX-License-Identifier: MIT
// Old text-format lists hold only strings, data, arrays and dictionaries: every one that reads
// must write as XML, and that XML must read back to the same XML.

#include "platform/plist/plist.h"
#include "platform/plist/readers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const plist::ParseResult read = plist::ParseOpenStep(bytes);
    if (!read.root) {
        if (read.error.kind == plist::ErrorKind::None || read.error.offset > size) std::abort();
        return 0;
    }
    const auto xml = plist::WriteXML(*read.root);
    if (!xml) std::abort();
    const plist::ParseResult again = plist::Parse(*xml);
    if (!again.root || plist::WriteXML(*again.root) != xml) std::abort();
    return 0;
}
