// SPDX-License-Identifier: MIT
// Any input to the binary reader.
#include "round_trip.h"

#include <cmath>
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
            for (const CFObjectZorp* item : static_cast<const CFArrayZorp*>(o)->Items())
                pending.push_back(item);
            break;
        case CFKind::Dictionary:
            for (const auto& e : static_cast<const CFDictionaryZorp*>(o)->Entries())
                pending.push_back(e.value);
            break;
        default: break;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Null, sets and non-string keys do not go into XML.
    return RoundTrip(data, size, plist::Format::Binary, Unwritable::Allowed, HoldsFarDate);
}
