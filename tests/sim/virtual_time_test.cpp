#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/world.h"

// The timer and clock rules the core tests rely on without seeing them: a loop that broke
// one of them would let a waiting routine or a schedule pass that a real loop would fail.
namespace horalign::sim {
namespace {

std::int64_t Ms(const VirtualTime& t) {
  return t.NowUs() / 1000;
}

TEST(VirtualLoop, AHandlerIsNeverReenteredAndItsMissedTicksCoalesceIntoOne) {
  VirtualTime t;
  VirtualLoop loop(t);
  int ticks = 0;
  auto tick = loop.CreateTimer(50, true, [&] { ++ticks; });
  int ticksDuringWait = 0;
  std::vector<std::int64_t> entriesMs;
  std::unique_ptr<Timer> slow;
  slow = loop.CreateTimer(1000, true, [&] {
    entriesMs.push_back(Ms(t));
    if (entriesMs.size() == 1) {  // waits 3 s in nested yields, as a device exchange does
      slow->SetEnabled(false);    // and restarts its own timer, as a time write does
      slow->SetEnabled(true);
      const int before = ticks;
      while (Ms(t) < 4000) loop.Yield();
      ticksDuringWait = ticks - before;
    }
  });
  loop.RunForMs(5500);
  EXPECT_EQ(ticksDuringWait, 60);
  // The ticks due at 2, 3 and 4 s fell inside the wait: one catch-up tick, a fresh period.
  EXPECT_EQ(entriesMs, (std::vector<std::int64_t>{1000, 4000, 5000}));
}

TEST(VirtualLoop, EnablingATimerOrChangingItsIntervalStartsAFreshPeriod) {
  VirtualTime t;
  VirtualLoop loop(t);
  std::vector<std::int64_t> firedMs;
  auto timer = loop.CreateTimer(100, true, [&] { firedMs.push_back(Ms(t)); });
  loop.RunForMs(130);
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  loop.RunForMs(120);
  timer->SetEnabled(true);  // already enabled: the period goes on
  loop.RunForMs(100);
  timer->SetInterval(40);
  loop.RunForMs(90);
  EXPECT_EQ(firedMs, (std::vector<std::int64_t>{100, 230, 330, 390, 430}));
}

// A timer that does not tick while idle keeps its period: inside a wait that yields it ticks
// at its own times, not at a fresh period from the wait's start, and it goes on from there
// once told to tick while idle again.
TEST(VirtualLoop, ATimerThatSleepsThroughIdleTimeKeepsItsPeriod) {
  VirtualTime t;
  VirtualLoop loop(t);
  std::vector<std::int64_t> ticksMs;
  auto tick = loop.CreateTimer(50, true, [&] { ticksMs.push_back(Ms(t)); });
  tick->SetTicksWhileIdle(false);
  auto waiter = loop.CreateTimer(1030, true, [&] {
    while (Ms(t) < 1130) loop.Yield();
  });
  loop.RunForMs(2025);
  tick->SetTicksWhileIdle(true);
  loop.RunForMs(60);
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{1050, 1100, 1150, 2050}));
}

// A clock that took a date or time that does not exist would let a program that sets one pass.
// (How a valid time moves the wall clock, and the log of every set, the core tests see.)
TEST(VirtualClock, AnInvalidLocalTimeIsRefusedAndLeavesTheWallClock) {
  World w({{2026, 12, 5, 14, 5, 9, 0, 7}, -300});
  EXPECT_EQ(w.clock.SetLocal({2026, 2, 30, 0, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(w.clock.SetLocal({2026, 2, 3, 24, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(w.clock.UtcEpochMicros(), w.clock.TrueUtcEpochMicros());
}

// RestartEvents and the transmitter cancel events; a stale handle must not reach the event
// that took its slot (a lost reply would pass for a silent device).
TEST(VirtualTime, ACancelledEventNeverRunsAndItsHandleGoesStale) {
  VirtualTime t;
  int runs = 0;
  EventId id = t.At(100, [&] { ++runs; });
  EventId copy = id;
  EXPECT_TRUE(t.Cancel(id));
  EventId other = t.At(100, [&] { runs += 10; });
  EXPECT_EQ(other.slot, copy.slot);
  EXPECT_FALSE(t.Cancel(copy));
  t.AdvanceTo(200);
  EXPECT_EQ(runs, 10);
}

}  // namespace
}  // namespace horalign::sim
