#include "platform/posix/posix_clock_sync.h"

#include <gtest/gtest.h>
#include <sys/timex.h>

namespace horalign {
namespace {

using enum ClockSyncState;

TEST(PosixClockSync, TheKernelsFlagAndFiguresGiveTheState) {
  const struct {
    int result, status;
    ClockSyncState state;
  } rows[] = {
      {TIME_OK, 0, kSynchronized},
      {TIME_OK, STA_UNSYNC, kUnsynchronized},
      {TIME_ERROR, 0, kUnsynchronized},
      {TIME_INS, STA_PLL, kSynchronized},  // a leap second announced: still in step
      {-1, 0, kUnknown},
  };
  for (const auto& row : rows) {
    const PcClockSyncInfo info = ClockSyncFromTimex(row.result, row.status, 16'000'000, 1500);
    EXPECT_EQ(info.state, row.state) << row.result << " " << row.status;
    if (row.state == kUnknown) {
      EXPECT_FALSE(info.maxErrorSeconds);
      continue;
    }
    EXPECT_DOUBLE_EQ(info.maxErrorSeconds.value_or(0), 16.0);
    EXPECT_DOUBLE_EQ(info.estErrorSeconds.value_or(0), 0.0015);
  }
}

// The real kernel's state, read as the adapter reads it, agrees with a read of its own and
// leaves the clock's discipline as it was.
TEST(PosixClockSync, ReadsTheKernelsStateWithoutChangingIt) {
  timex before{};
  const int result = ::adjtimex(&before);
  ASSERT_GE(result, 0);
  const PcClockSyncInfo info = PosixClockSync().Read();
  timex after{};
  ::adjtimex(&after);
  const bool unsync = result == TIME_ERROR || (before.status & STA_UNSYNC) != 0;
  EXPECT_EQ(info.state, unsync ? kUnsynchronized : kSynchronized);
  ASSERT_TRUE(info.maxErrorSeconds);
  EXPECT_EQ(after.status, before.status);
  EXPECT_EQ(after.freq, before.freq);
}

}  // namespace
}  // namespace horalign
