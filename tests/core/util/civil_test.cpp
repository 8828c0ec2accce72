#include "core/util/civil.h"

#include <gtest/gtest.h>

namespace horalign {
namespace {

TEST(Civil, RoundTripsEveryDayOverFourCenturiesFromKnownAnchors) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1), 11017);
  for (std::int64_t d = DaysFromCivil(1900, 1, 1); d < DaysFromCivil(2300, 1, 1); ++d) {
    CivilTime t;
    CivilFromDays(d, t);
    ASSERT_EQ(DaysFromCivil(t.year, t.month, t.day), d);
    ASSERT_TRUE(IsValidDate(t.year, t.month, t.day));
  }
}

TEST(Civil, ValidatesDatesAndTimes) {
  struct Date {
    int year, month, day;
    bool valid;
  };
  for (const Date& d : {Date{2024, 2, 29, true}, Date{2026, 2, 29, false}, Date{2100, 2, 29, false},
                        Date{2000, 2, 29, true}, Date{2026, 13, 1, false}, Date{2026, 0, 1, false},
                        Date{2026, 4, 31, false}, Date{2026, 12, 31, true}, Date{2026, 1, 0, false},
                        Date{0, 1, 1, false}, Date{1, 1, 1, true}, Date{9999, 12, 31, true},
                        Date{10000, 1, 1, false}}) {
    EXPECT_EQ(IsValidDate(d.year, d.month, d.day), d.valid)
        << d.year << "-" << d.month << "-" << d.day;
  }
  EXPECT_TRUE(IsValidTimeOfDay(23, 59, 59) && IsValidTimeOfDay(0, 0, 0));
  EXPECT_FALSE(IsValidTimeOfDay(24, 0, 0) || IsValidTimeOfDay(12, 60, 0) ||
               IsValidTimeOfDay(12, 0, 60) || IsValidTimeOfDay(-1, 0, 0));
}

TEST(Civil, EpochMicrosRoundTripAcrossMidnightAndBeforeTheEpoch) {
  const CivilTime t{2026, 12, 31, 23, 59, 59, 950000, 5};
  EXPECT_EQ(FromEpochMicros(ToEpochMicros(t)), t);
  EXPECT_EQ(FromEpochMicros(ToEpochMicros(t) + 50000), (CivilTime{2027, 1, 1, 0, 0, 0, 0, 6}));
  EXPECT_EQ(FromEpochMicros(-1), (CivilTime{1969, 12, 31, 23, 59, 59, 999999, 4}));
}

}  // namespace
}  // namespace horalign
