#include "core/util/civil.h"

#include <gtest/gtest.h>

namespace horalign {
namespace {

TEST(Civil, ValidatesDatesAndTimes) {
  struct Date {
    int year, month, day;
    bool valid;
  };
  // Each month's last day is checked against the C library (tests/posix/civil_libc_test.cpp).
  for (const Date& d : {Date{2026, 13, 1, false}, Date{2026, 0, 1, false}, Date{2026, 1, 0, false},
                        Date{0, 1, 1, false}, Date{1, 1, 1, true}, Date{9999, 12, 31, true},
                        Date{10000, 1, 1, false}}) {
    EXPECT_EQ(IsValidDate(d.year, d.month, d.day), d.valid)
        << d.year << "-" << d.month << "-" << d.day;
  }
  EXPECT_TRUE(IsValidTimeOfDay(23, 59, 59) && IsValidTimeOfDay(0, 0, 0));
  EXPECT_FALSE(IsValidTimeOfDay(24, 0, 0) || IsValidTimeOfDay(12, 60, 0) ||
               IsValidTimeOfDay(12, 0, 60) || IsValidTimeOfDay(-1, 0, 0));
}

}  // namespace
}  // namespace horalign
