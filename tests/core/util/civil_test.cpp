#include "core/util/civil.h"

#include <gtest/gtest.h>

namespace horalign {
namespace {

TEST(Civil, RoundTripsEveryDayOverFourCenturies) {
  for (std::int64_t d = DaysFromCivil(1900, 1, 1); d < DaysFromCivil(2300, 1, 1); ++d) {
    CivilTime t;
    CivilFromDays(d, t);
    ASSERT_EQ(DaysFromCivil(t.year, t.month, t.day), d);
    ASSERT_TRUE(IsValidDate(t.year, t.month, t.day));
  }
}

TEST(Civil, KnowsWeekdaysWithSundayAsOne) {
  EXPECT_EQ(WeekdayOf(2026, 12, 5), 7);  // a Saturday
  EXPECT_EQ(WeekdayOf(2026, 12, 6), 1);  // a Sunday
  EXPECT_EQ(WeekdayOf(1970, 1, 1), 5);   // a Thursday
  EXPECT_EQ(WeekdayOf(2000, 2, 29), 3);  // a Tuesday
}

TEST(Civil, ValidatesDatesAndTimes) {
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_FALSE(IsValidDate(2026, 2, 29));
  EXPECT_FALSE(IsValidDate(2100, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(2026, 13, 1));
  EXPECT_FALSE(IsValidDate(2026, 4, 31));
  EXPECT_TRUE(IsValidTimeOfDay(23, 59, 59));
  EXPECT_FALSE(IsValidTimeOfDay(24, 0, 0));
  EXPECT_FALSE(IsValidTimeOfDay(12, 60, 0));
}

TEST(Civil, EpochMicrosRoundTripAcrossMidnightAndBeforeTheEpoch) {
  const CivilTime t{2026, 12, 31, 23, 59, 59, 950000, 5};
  EXPECT_EQ(FromEpochMicros(ToEpochMicros(t)), t);
  const CivilTime next = FromEpochMicros(ToEpochMicros(t) + 50000);
  EXPECT_EQ(next.year, 2027);
  EXPECT_EQ(next.month, 1);
  EXPECT_EQ(next.day, 1);
  EXPECT_EQ(next.hour, 0);
  const CivilTime before = FromEpochMicros(-1);
  EXPECT_EQ(before.year, 1969);
  EXPECT_EQ(before.second, 59);
  EXPECT_EQ(before.micro, 999999);
}

}  // namespace
}  // namespace horalign
