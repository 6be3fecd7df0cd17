// SPDX-License-Identifier: MIT
#include "calendar.h"

#include <cmath>
#include <limits>

namespace plist::detail {
namespace {

constexpr std::uint16_t kDaysBeforeMonth[16] = {0,   0,   31,  59,  90,  120, 151, 181,
                                                212, 243, 273, 304, 334, 365, 0,   0};
constexpr std::uint16_t kDaysInYear = 365;
constexpr std::int64_t kDaysIn400Years = 146097;

// Years count from 2001 (year 0), so a leap year is one whose successor is a multiple of 4.
bool IsLeap(std::int64_t year)
{
    std::int64_t y = (year + 1) % 400;
    if (y < 0) y = -y;
    return (y & 3) == 0 && y != 100 && y != 200 && y != 300;
}

int DaysInYear(std::int64_t year)
{
    return kDaysInYear + (IsLeap(year) ? 1 : 0);
}

int DaysBeforeMonth(int month, bool leap)
{
    return kDaysBeforeMonth[month] + (month > 2 && leap ? 1 : 0);
}

double AbsoluteDayFromYMD(std::int64_t year, int month, int day)
{
    double absolute = 0.0;
    const std::int64_t cycles = year / 400;
    absolute += static_cast<double>(cycles) * static_cast<double>(kDaysIn400Years);
    year -= cycles * 400;
    if (year < 0) {
        for (std::int64_t y = year; y < 0; ++y) absolute -= DaysInYear(y);
    } else {
        for (std::int64_t y = 0; y < year; ++y) absolute += DaysInYear(y);
    }
    return absolute + DaysBeforeMonth(month, IsLeap(year)) + day - 1;
}

void YMDFromAbsoluteDay(std::int64_t absolute, std::int64_t& year, int& month, int& day)
{
    const std::int64_t cycles = absolute / kDaysIn400Years;
    std::int64_t y = cycles * 400;
    absolute -= cycles * kDaysIn400Years;
    while (absolute < 0) {
        y -= 1;
        absolute += DaysInYear(y);
    }
    for (int days = DaysInYear(y); days <= absolute; days = DaysInYear(y)) {
        y += 1;
        absolute -= days;
    }
    const bool leap = IsLeap(y);
    int m = static_cast<int>(absolute / 33 + 1);
    while (DaysBeforeMonth(m + 1, leap) <= absolute) ++m;
    year = y;
    month = m;
    day = static_cast<int>(absolute - DaysBeforeMonth(m, leap) + 1);
}

// CF goes through float here; values outside int range (only for absurd times) become 0.
std::int32_t ModToInt(double d, int modulus)
{
    const float f = static_cast<float>(std::floor(d - std::floor(d / modulus) * modulus));
    std::int32_t result = 0;
    if (f > -2147483648.0f && f < 2147483648.0f) result = static_cast<std::int32_t>(f);
    return result < 0 ? result + modulus : result;
}

std::int64_t FloorToInt64(double d)
{
    const double f = std::floor(d);
    if (f <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(f);
}

}  // namespace

double AbsoluteTimeFromGregorian(const GregorianDate& date)
{
    const double days = AbsoluteDayFromYMD(static_cast<std::int64_t>(date.year) - 2001, date.month, date.day);
    return 86400.0 * days + 3600.0 * date.hour + 60.0 * date.minute + date.second;
}

GregorianDate GregorianFromAbsoluteTime(double seconds)
{
    GregorianDate date;
    std::int64_t year = 0;
    YMDFromAbsoluteDay(FloorToInt64(seconds / 86400.0), year, date.month, date.day);
    if (year > std::numeric_limits<std::int32_t>::max() - 2001)
        year = std::numeric_limits<std::int32_t>::max() - 2001;
    // CF stores the year in 32 bits; far in the past it wraps.
    date.year =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(year + 2001)));
    date.hour = ModToInt(std::floor(seconds / 3600.0), 24);
    date.minute = ModToInt(std::floor(seconds / 60.0), 60);
    double second = seconds - std::floor(seconds / 60) * 60;
    if (second < 0.0) second += 60;
    date.second = second >= 0.0 && second < 60.0 ? static_cast<std::int32_t>(second) : 0;
    return date;
}

}  // namespace plist::detail
