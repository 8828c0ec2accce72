#include "core/serial/delay.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace horalign {
namespace {

// A delay keeps a reference to the counter, so it cannot be made from a temporary.
static_assert(std::is_constructible_v<clsDelay, std::int32_t&>);
static_assert(!std::is_constructible_v<clsDelay, std::int32_t>);

// Ticks the counter until the delay reports expired; returns how many ticks that took.
int TicksUntilExpired(std::int32_t& ticks, clsDelay& delay, int limit = 1000) {
  for (int n = 0; n < limit; ++n) {
    if (delay.DelayExpired()) return n;
    AdvanceDelayTicks(ticks);
  }
  return -1;
}

TEST(DelayTicks, RunsFromOneToTheLargest32BitValueAndStartsAgainAtOne) {
  const struct {
    std::int32_t before, after;
  } cases[] = {{0, 1}, {1, 2}, {2147483646, 2147483647}, {2147483647, 1}};
  for (const auto& c : cases) {
    std::int32_t ticks = c.before;
    AdvanceDelayTicks(ticks);
    EXPECT_EQ(ticks, c.after) << c.before;
  }
}

TEST(Delay, ADelayOfNTicksExpiresAtTheTickAfterTheNth) {
  // Armed at the start, before the first tick, just before the wrap and across it.
  for (const std::int32_t armedAt : {0, 1, 500, 2147483647 - 25, 2147483647 - 20, 2147483647}) {
    for (const std::int32_t n : {0, 1, 20, 40}) {
      std::int32_t ticks = armedAt;
      clsDelay delay(ticks);
      delay.InitDelay(n);
      EXPECT_EQ(TicksUntilExpired(ticks, delay), n + 1) << "armed at " << armedAt << ", " << n;
    }
  }
}

TEST(Delay, StaysExpiredOnLaterPollsUntilArmedAgain) {
  std::int32_t ticks = 100;
  clsDelay delay(ticks);
  delay.InitDelay(2);
  ASSERT_EQ(TicksUntilExpired(ticks, delay), 3);
  AdvanceDelayTicks(ticks);
  EXPECT_TRUE(delay.DelayExpired());

  delay.InitDelay(2);
  EXPECT_FALSE(delay.DelayExpired());
  delay.SetDelayExpired(true);
  EXPECT_TRUE(delay.DelayExpired());
}

TEST(Delay, CurrentValueCountsTicksSinceArmingAlsoAcrossTheWrap) {
  for (const std::int32_t armedAt : {0, 1000, 2147483647 - 3}) {
    std::int32_t ticks = armedAt;
    clsDelay delay(ticks);
    delay.InitDelay(40);
    EXPECT_EQ(delay.CurrentValue(), 0);
    for (int i = 0; i < 10; ++i) AdvanceDelayTicks(ticks);
    EXPECT_EQ(delay.CurrentValue(), 10) << armedAt;
    EXPECT_FALSE(delay.DelayExpired());
  }
}

TEST(Delay, ANegativeCountIsAlreadyExpired) {
  std::int32_t ticks = 5;
  clsDelay delay(ticks);
  delay.InitDelay(-1);
  EXPECT_TRUE(delay.DelayExpired());
}

}  // namespace
}  // namespace horalign
