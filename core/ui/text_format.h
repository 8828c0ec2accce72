#pragma once

#include <string>

#include "core/platform/clock.h"
#include "core/ui/views.h"
#include "core/util/civil.h"

namespace horalign {

// "HH:NN:SS AMPM": 12-hour clock with two digits, the system's time separator and
// designator, e.g. "02:05:09 PM".
std::string FormatClockTime(const CivilTime& t, const LocaleFormat& locale);

// "MM/DD/YYYY" with the system's date separator.
std::string FormatClockDate(const CivilTime& t, const LocaleFormat& locale);

// The status time stamp of a port row: "MM/DD/YY, HH:NN:SS AMPM".
std::string FormatStatusTime(const CivilTime& t, const LocaleFormat& locale);

}  // namespace horalign
