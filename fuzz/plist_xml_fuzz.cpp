// SPDX-License-Identifier: MIT
// Any input to the XML reader; XML can always carry what it builds.
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return RoundTrip(data, size, plist::Format::XML, Unwritable::Fault);
}
