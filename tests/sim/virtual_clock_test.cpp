#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/world.h"

namespace horalign::sim {
namespace {

const CivilTime kStart{2026, 12, 5, 14, 5, 9, 0, 7};

TEST(VirtualClock, ReadsTheStartTimePlusVirtualTimeWithWeekdayAndLocalOffset) {
  VirtualTime t;
  VirtualClock clock(t, kStart, -300);
  t.AdvanceTo(10 * 3600 * 1'000'000LL + 250'000);  // past UTC midnight: Sunday
  EXPECT_EQ(clock.UtcNow(), (CivilTime{2026, 12, 6, 0, 5, 9, 250'000, 1}));
  EXPECT_EQ(clock.LocalNow(), (CivilTime{2026, 12, 5, 19, 5, 9, 250'000, 7}));
  clock.SetLocalOffsetMinutes(60);
  EXPECT_EQ(clock.LocalNow().hour, 1);
}

TEST(VirtualClock, SettingTheLocalTimeMovesOnlyTheWallClockAndIsLogged) {
  World w({kStart, 120});
  int ticks = 0;
  auto tick = w.loop.CreateTimer(1000, true, [&] { ++ticks; });
  w.loop.RunForMs(500);
  const std::int64_t trueBefore = w.clock.TrueUtcEpochMicros();
  EXPECT_EQ(w.clock.SetLocal({2026, 12, 5, 7, 5, 0, 0, 0}), ClockSetResult::kOk);
  EXPECT_EQ(w.clock.LocalNow(), (CivilTime{2026, 12, 5, 7, 5, 0, 0, 7}));
  EXPECT_EQ(w.clock.UtcNow().hour, 5);
  EXPECT_EQ(w.clock.TrueUtcEpochMicros(), trueBefore);
  w.loop.RunForMs(500);
  EXPECT_EQ(ticks, 1);  // the timer kept its monotonic period
  ASSERT_EQ(w.clock.SetLog().size(), 1u);
  EXPECT_EQ(w.clock.SetLog()[0].atUs, 500'000);
}

TEST(VirtualClock, ARefusedOrInvalidSetChangesNothingButIsLogged) {
  VirtualTime t;
  VirtualClock clock(t, kStart);
  clock.RefuseSets(ClockSetResult::kNoRight);
  EXPECT_EQ(clock.SetLocal({2026, 1, 1, 0, 0, 0, 0, 0}), ClockSetResult::kNoRight);
  clock.RefuseSets(ClockSetResult::kOk);
  EXPECT_EQ(clock.SetLocal({2026, 2, 30, 0, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(clock.SetLocal({2026, 2, 3, 24, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(clock.UtcNow(), kStart);
  ASSERT_EQ(clock.SetLog().size(), 3u);
  EXPECT_EQ(clock.SetLog()[0].result, ClockSetResult::kNoRight);
}

TEST(VirtualClock, DuringASleepBytesMoveButTimersWaitForOneCoalescedTick) {
  World w;
  SimDevice& dev = w.AddDevice(3, {.letter = 'W'});
  std::vector<std::int64_t> ticksMs;
  auto tick = w.loop.CreateTimer(50, true, [&] { ticksMs.push_back(w.time.NowUs() / 1000); });
  CommTimeouts saved;
  const CommHandle h = w.serial.Open(3, "9600,N,8,1", {}, saved);
  w.loop.RunForMs(60);
  w.serial.Write(h, "P\r");
  w.clock.SleepMicros(1'000'000);
  EXPECT_EQ(dev.Commands().size(), 1u);
  EXPECT_EQ(w.serial.Read(h, 10), "*\r");
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{50}));
  w.loop.Yield();
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{50, 1062}));
  w.loop.RunForMs(100);
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{50, 1062, 1112, 1162}));
}

TEST(VirtualClock, AbortsABusyWaitThatNeverLetsTimePass) {
  VirtualTime t;
  VirtualClock clock(t, kStart);
  EXPECT_DEATH(
      {
        while (clock.UtcNow().Millisecond() != 500) {
        }
      },
      "stood still");
}

}  // namespace
}  // namespace horalign::sim
