// SPDX-License-Identifier: MIT
// Any input: the XML reader never crashes, and what it reads writes as XML that reads back the same.
#include "platform/plist/plist.h"
#include "platform/plist/readers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const plist::ParseResult read = plist::ParseXML(bytes);
    if (!read.root) {
        if (read.error.kind == plist::ErrorKind::None || read.error.offset > size) std::abort();
        return 0;
    }
    const auto xml = plist::WriteXML(*read.root);
    if (!xml) std::abort();  // XML can always carry what the XML reader builds
    const plist::ParseResult again = plist::ParseXML(*xml);
    if (!again.root || plist::WriteXML(*again.root) != xml) std::abort();
    return 0;
}
