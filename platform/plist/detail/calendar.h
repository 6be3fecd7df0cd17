// SPDX-License-Identifier: MIT
#pragma once
// CoreFoundation's proleptic Gregorian arithmetic for property-list dates (seconds since
// 2001-01-01 00:00:00 UTC), reproduced step by step so that odd fields roll over as CF's do.

#include <cstdint>

namespace plist::detail {

struct GregorianDate {
    std::int32_t year = 2001;
    std::int32_t month = 1;  // CF reads 0 to 15 from its month table; 13 is January of the next year
    std::int32_t day = 1;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;  // whole seconds, rounded toward minus infinity
};

// The fields are not range-checked (day 0 is the last day of the previous month); month must be 0-15.
double AbsoluteTimeFromGregorian(const GregorianDate& date);

// For a finite time.
GregorianDate GregorianFromAbsoluteTime(double seconds);

}  // namespace plist::detail
