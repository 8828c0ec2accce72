// The civil calendar against the C library's, which shares none of its arithmetic.
#include <gtest/gtest.h>

#include <array>
#include <ctime>

#include "core/util/civil.h"

namespace horalign {
namespace {

std::int64_t LibcSeconds(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  std::tm t{};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi;
  t.tm_sec = s;
  return timegm(&t);
}

std::array<int, 7> LibcFields(std::int64_t secs) {
  const std::time_t tt = secs;
  std::tm g{};
  gmtime_r(&tt, &g);
  return {g.tm_year + 1900, g.tm_mon + 1, g.tm_mday, g.tm_hour, g.tm_min, g.tm_sec, g.tm_wday + 1};
}

std::array<int, 7> Fields(const CivilTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.weekday};
}

// Every day of 1601..2400 (two whole 400-year eras: every leap rule), and the first and last
// day of each month back to the year -800, where the eras count below zero; each month's
// length, its first and its last second.
TEST(CivilAgainstLibc, EveryDayEachMonthsLengthAndItsFirstAndLastSecond) {
  for (int y = -800; y <= 2400; ++y) {
    for (int m = 1; m <= 12; ++m) {
      const std::int64_t first = LibcSeconds(y, m, 1);
      const int days = static_cast<int>((LibcSeconds(y, m + 1, 1) - first) / 86400);
      ASSERT_EQ(DaysInMonth(y, m), days) << y << "-" << m;
      ASSERT_EQ(IsLeapYear(y), LibcSeconds(y + 1, 1, 1) - LibcSeconds(y, 1, 1) == 366 * 86400);
      if (y >= 1) {
        ASSERT_TRUE(IsValidDate(y, m, days) && !IsValidDate(y, m, days + 1));
      }
      for (int d = 1; d <= days; d += y >= 1601 ? 1 : days - 1) {
        const std::int64_t day = (first + (d - 1) * std::int64_t{86400}) / 86400;
        ASSERT_EQ(DaysFromCivil(y, m, d), day) << y << "-" << m << "-" << d;
        CivilTime t;
        CivilFromDays(day, t);
        ASSERT_EQ(Fields(t), LibcFields(day * 86400)) << day;
      }
      const CivilTime start{y, m, 1, 0, 0, 0, 0, 0}, end{y, m, days, 23, 59, 59, 999'999, 0};
      ASSERT_EQ(ToEpochMicros(start), first * 1'000'000);
      ASSERT_EQ(ToEpochMicros(end), LibcSeconds(y, m, days, 23, 59, 59) * 1'000'000 + 999'999);
      ASSERT_EQ(Fields(FromEpochMicros(ToEpochMicros(end))), LibcFields(first + days * 86400 - 1));
      ASSERT_EQ(FromEpochMicros(ToEpochMicros(end) + 1).day, 1);
    }
  }
  EXPECT_EQ(DaysInMonth(2024, 0) + DaysInMonth(2024, 13), 0);  // no such month
}

}  // namespace
}  // namespace horalign
