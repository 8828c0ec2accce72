#include "sim/virtual_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace horalign::sim {
namespace {

std::int64_t Ms(const VirtualTime& t) {
  return t.NowUs() / 1000;
}

TEST(VirtualLoop, AHandlerIsNeverReenteredByItsOwnTimerWhileOtherTimersTick) {
  VirtualTime t;
  VirtualLoop loop(t);
  int ticks = 0;
  auto tick = loop.CreateTimer(50, true, [&] { ++ticks; });
  int depth = 0;
  int maxDepth = 0;
  int ticksDuringWait = 0;
  std::vector<std::int64_t> entriesMs;
  auto slow = loop.CreateTimer(1000, true, [&] {
    entriesMs.push_back(Ms(t));
    maxDepth = std::max(maxDepth, ++depth);
    if (entriesMs.size() == 1) {  // waits 3 s in nested yields, as a device exchange does
      const int before = ticks;
      const std::int64_t end = t.NowUs() + 3'000'000;
      while (t.NowUs() < end) loop.Yield();
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
  EXPECT_EQ(timer->Interval(), 40);
}

TEST(VirtualLoop, DisabledAndDestroyedTimersNeverFire) {
  VirtualTime t;
  VirtualLoop loop(t);
  int disabledRuns = 0;
  int destroyedRuns = 0;
  int selfDestroyingRuns = 0;
  auto disabled = loop.CreateTimer(10, false, [&] { ++disabledRuns; });
  auto destroyed = loop.CreateTimer(10, true, [&] { ++destroyedRuns; });
  destroyed.reset();
  std::unique_ptr<Timer> self;
  self = loop.CreateTimer(10, true, [&] {
    ++selfDestroyingRuns;
    self.reset();
  });
  auto stopped = loop.CreateTimer(10, true, [] {});
  loop.RunForMs(100);
  EXPECT_EQ(disabledRuns, 0);
  EXPECT_EQ(destroyedRuns, 0);
  EXPECT_EQ(selfDestroyingRuns, 1);
  EXPECT_FALSE(disabled->Enabled());
}

TEST(VirtualLoop, TimersDueAtTheSameTimeFireInCreationOrder) {
  VirtualTime t;
  VirtualLoop loop(t);
  std::string order;
  auto b = loop.CreateTimer(30, true, [&] { order += "b"; });
  auto a = loop.CreateTimer(20, true, [&] { order += "a"; });
  loop.RunForMs(60);
  EXPECT_EQ(order, "ababa");  // 20 a, 30 b, 40 a, 60 b then a
}

TEST(VirtualLoop, ProcessPendingRunsWhatIsDueNowWhileYieldWaitsForTheNextTick) {
  VirtualTime t;
  VirtualLoop loop(t);
  int fired = 0;
  auto timer = loop.CreateTimer(50, true, [&] { ++fired; });
  bool worldRan = false;
  t.At(0, [&] { worldRan = true; });
  loop.ProcessPending();
  EXPECT_TRUE(worldRan);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(t.NowUs(), 0);
  loop.Yield();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(t.NowUs(), 50'000);
  t.AdvanceTo(100'000);  // time passed outside the loop: the tick waits
  EXPECT_EQ(fired, 1);
  loop.ProcessPending();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(t.NowUs(), 100'000);
  EXPECT_EQ(loop.YieldCount(), 1);
  EXPECT_EQ(loop.ProcessPendingCount(), 2);
  loop.SetDueTimesPerWait(3);  // a busy loop: three ticks before the waiter looks again
  loop.Yield();
  EXPECT_EQ(fired, 5);
  EXPECT_EQ(t.NowUs(), 250'000);
}

TEST(VirtualLoop, YieldWithoutTimersWaitsForTheNextWorldEventAndAbortsWhenThereIsNone) {
  VirtualTime t;
  VirtualLoop loop(t);
  t.At(700, [] {});
  loop.Yield();
  EXPECT_EQ(t.NowUs(), 700);
  EXPECT_DEATH(loop.Yield(), "never end");
}

TEST(VirtualLoop, TheHookSeesEveryYieldWithItsTime) {
  VirtualTime t;
  VirtualLoop loop(t);
  auto tick = loop.CreateTimer(50, true, [] {});
  std::vector<std::int64_t> seenMs;
  loop.SetYieldHook([&](std::int64_t nowUs) { seenMs.push_back(nowUs / 1000); });
  loop.Yield();
  loop.Yield();
  loop.ProcessPending();
  loop.RunForMs(500);  // the top-level dispatch is not a yield
  EXPECT_EQ(seenMs, (std::vector<std::int64_t>{0, 50, 100}));
}

TEST(VirtualLoop, RunUntilStopsAtTheConditionOrExactlyAtTheLimit) {
  VirtualTime t;
  VirtualLoop loop(t);
  int ticks = 0;
  auto tick = loop.CreateTimer(50, true, [&] { ++ticks; });
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, 1000));
  EXPECT_EQ(t.NowUs(), 150'000);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 1025));
  EXPECT_EQ(t.NowUs(), 1'175'000);
  EXPECT_EQ(ticks, 23);
}

TEST(VirtualLoop, ADayOfTheProgramsFourTimersKeepsEveryPeriodExact) {
  VirtualTime t;
  VirtualLoop loop(t);
  std::int64_t counts[4] = {};
  auto delay = loop.CreateTimer(50, true, [&] { ++counts[0]; });
  auto monitor = loop.CreateTimer(500, true, [&] { ++counts[1]; });
  auto display = loop.CreateTimer(1000, true, [&] { ++counts[2]; });
  auto minutes = loop.CreateTimer(60000, true, [&] { ++counts[3]; });
  loop.RunForMs(86'400'000);
  EXPECT_EQ(counts[0], 1'728'000);
  EXPECT_EQ(counts[1], 172'800);
  EXPECT_EQ(counts[2], 86'400);
  EXPECT_EQ(counts[3], 1'440);
}

}  // namespace
}  // namespace horalign::sim
