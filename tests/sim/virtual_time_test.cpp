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
  int depth = 0;
  int maxDepth = 0;
  int ticksDuringWait = 0;
  std::vector<std::int64_t> entriesMs;
  std::unique_ptr<Timer> slow;
  slow = loop.CreateTimer(1000, true, [&] {
    entriesMs.push_back(Ms(t));
    maxDepth = std::max(maxDepth, ++depth);
    if (entriesMs.size() == 1) {  // waits 3 s in nested yields, as a device exchange does
      slow->SetEnabled(false);    // and restarts its own timer, as a time write does
      slow->SetEnabled(true);
      const int before = ticks;
      while (Ms(t) < 4000) loop.Yield();
      ticksDuringWait = ticks - before;
    }
    --depth;
  });
  loop.RunForMs(5500);
  EXPECT_EQ(maxDepth, 1);
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

// ProcessPending never moves time; a Yield waits for the next due time, or for several when
// the loop is busy; the hook (the responsiveness probe of the flood tests) sees each.
TEST(VirtualLoop, ProcessPendingRunsWhatIsDueWhileYieldWaitsForTheNextTick) {
  VirtualTime t;
  VirtualLoop loop(t);
  int fired = 0;
  auto timer = loop.CreateTimer(50, true, [&] { ++fired; });
  std::vector<std::int64_t> hookMs;
  loop.SetYieldHook([&](std::int64_t nowUs) { hookMs.push_back(nowUs / 1000); });
  loop.ProcessPending();
  EXPECT_EQ(fired, 0);
  loop.Yield();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(Ms(t), 50);
  t.AdvanceTo(150'000);  // time passed outside the loop: the tick due at 100 ms waits
  EXPECT_EQ(fired, 1);
  loop.ProcessPending();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(Ms(t), 150);
  loop.SetDueTimesPerWait(3);
  loop.Yield();
  EXPECT_EQ(fired, 5);  // one tick a period late coalesced: next due at 200 ms, not at once
  EXPECT_EQ(Ms(t), 300);
  EXPECT_EQ(hookMs, (std::vector<std::int64_t>{0, 0, 150, 150}));
}

TEST(VirtualClock, ASleepMovesBytesAndDevicesWhileTimersWaitForOneCoalescedTick) {
  World w;
  w.AddDevice(3, {.letter = 'W'});
  std::vector<std::int64_t> ticksMs;
  auto tick = w.loop.CreateTimer(50, true, [&] { ticksMs.push_back(Ms(w.time)); });
  CommTimeouts saved;
  const CommHandle h = w.serial.Open(3, "9600,N,8,1", {}, saved);
  w.loop.RunForMs(60);
  w.serial.Write(h, "P\r");
  w.clock.SleepMicros(1'000'000);
  EXPECT_EQ(w.serial.Read(h, 10), "*\r");
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{50}));
  w.loop.RunForMs(60);
  EXPECT_EQ(ticksMs, (std::vector<std::int64_t>{50, 1062, 1112}));
}

TEST(VirtualClock, SettingTheLocalTimeMovesOnlyTheWallClockUnlessRefusedOrInvalid) {
  World w({{2026, 12, 5, 14, 5, 9, 0, 7}, -300});
  w.time.AdvanceTo(250'000);
  w.clock.RefuseSets(ClockSetResult::kNoRight);
  EXPECT_EQ(w.clock.SetLocal({2026, 1, 1, 0, 0, 0, 0, 0}), ClockSetResult::kNoRight);
  w.clock.RefuseSets(ClockSetResult::kOk);
  EXPECT_EQ(w.clock.SetLocal({2026, 2, 30, 0, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(w.clock.SetLocal({2026, 2, 3, 24, 0, 0, 0, 0}), ClockSetResult::kFailed);
  EXPECT_EQ(w.clock.UtcEpochMicros(), w.clock.TrueUtcEpochMicros());
  EXPECT_EQ(w.clock.SetLocal({2026, 12, 5, 7, 5, 0, 0, 0}), ClockSetResult::kOk);
  EXPECT_EQ(w.clock.UtcNow(), (CivilTime{2026, 12, 5, 12, 5, 0, 0, 7}));
  EXPECT_EQ(w.time.NowUs(), 250'000);
  EXPECT_EQ(w.clock.SetLog().size(), 4u);
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
