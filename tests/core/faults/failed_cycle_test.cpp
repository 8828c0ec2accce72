#include <gtest/gtest.h>

#include <tuple>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

// A cycle whose device stays silent still counts as the interval's cycle: the minutes start
// again from it, so the next try comes one whole interval later, neither on the next tick
// nor a minute late, in both directions.
TEST(FailedCycle, TheMinutesStartAgainFromItAndTheNextTryComesAWholeIntervalLater) {
  for (const auto& [mode, letter, command, status] :
       {std::tuple(1, 'W', "T", "Error updating device."),
        {2, 'J', "QT", "Error reading device."}}) {
    SCOPED_TRACE(mode);
    sim::SimApp s;
    auto& device = StartWith(s, mode, 1, {.letter = letter});
    device.Config().silent = true;
    RunToUs(s, 60 * kMinuteUs - 1000);
    ASSERT_TRUE(SentStartingWith(s, 1, command).empty());
    RunToUs(s, 61 * kMinuteUs - 1000);
    const std::size_t tries = SentStartingWith(s, 1, command).size();
    EXPECT_EQ(std::tuple(tries > 0, s.Cell(1, kColStatus), s.Form().MinuteCount()),
              std::tuple(true, status, 0));
    RunToUs(s, 61 * kMinuteUs + 1000);
    EXPECT_EQ(s.Form().MinuteCount(), 1);
    RunToUs(s, 120 * kMinuteUs - 1000);
    EXPECT_EQ(std::tuple(SentStartingWith(s, 1, command).size(), s.Form().MinuteCount()),
              std::tuple(tries, 59));
    RunToUs(s, 121 * kMinuteUs - 1000);
    EXPECT_EQ(SentStartingWith(s, 1, command).size(), 2 * tries);
  }
}

}  // namespace
}  // namespace horalign::test
