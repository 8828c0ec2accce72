#pragma once

#include <cstdint>
#include <string>

#include "core/platform/clock.h"

namespace horalign {

// Calendar arithmetic on the proleptic Gregorian calendar, independent of time zones.

// Days since 1970-01-01 for a year, month (1..12) and day (1..31).
std::int64_t DaysFromCivil(int year, int month, int day);

// The inverse of DaysFromCivil; fills year, month, day and weekday of `out`.
void CivilFromDays(std::int64_t days, CivilTime& out);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(int year, int month, int day);
bool IsValidTimeOfDay(int hour, int minute, int second);

// 1 = Sunday ... 7 = Saturday.
int WeekdayOf(int year, int month, int day);

// Microseconds since 1970-01-01 00:00:00 of a civil time taken as UTC, and back.
std::int64_t ToEpochMicros(const CivilTime& t);
CivilTime FromEpochMicros(std::int64_t us);

// n as decimal text with at least `digits` digits, zeros in front.
std::string ZeroPad(long long n, int digits);

}  // namespace horalign
