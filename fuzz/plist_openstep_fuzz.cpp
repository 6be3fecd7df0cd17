// SPDX-License-Identifier: MIT
// Any input to the old text-format reader. Those lists hold only strings, data, arrays and
// dictionaries, so every one that reads must write as XML.
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return RoundTrip(data, size, plist::Format::OpenStep, Unwritable::Fault);
}
