// SPDX-License-Identifier: MIT
// Any binary list that reads and can be written as XML must write XML that reads back, to the same XML.

#include "platform/plist/plist.h"
#include "platform/plist/readers.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// Beyond some 30 million years CoreFoundation's calendar writes fields out of range (hour 64),
// which read back as another date or not at all; such trees need only write without harm.
bool HoldsFarDate(const CFObjectZorp& root)
{
    std::vector<const CFObjectZorp*> pending{&root};
    std::unordered_set<const CFObjectZorp*> seen;
    while (!pending.empty()) {
        const CFObjectZorp* o = pending.back();
        pending.pop_back();
        if (!seen.insert(o).second) continue;
        switch (o->Kind()) {
        case CFKind::Date:
            if (std::fabs(static_cast<const CFDateZorp*>(o)->Value()) > 1e15) return true;
            break;
        case CFKind::Array:
            for (const auto& item : static_cast<const CFArrayZorp*>(o)->Items())
                pending.push_back(item.get());
            break;
        case CFKind::Dictionary:
            for (const auto& e : static_cast<const CFDictionaryZorp*>(o)->Entries())
                pending.push_back(e.value.get());
            break;
        default: break;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const plist::ParseResult read = plist::ParseBinary(bytes);
    if (!read.root) {
        if (read.error.kind == plist::ErrorKind::None || read.error.offset > size) std::abort();
        return 0;
    }
    const auto xml = plist::WriteXML(*read.root);
    if (!xml || HoldsFarDate(*read.root)) return 0;
    const plist::ParseResult again = plist::Parse(*xml);
    if (!again.root || plist::WriteXML(*again.root) != xml) std::abort();
    return 0;
}
