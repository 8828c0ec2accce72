#include "platform/win32/win32_event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace horalign {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Yields until `done` or the limit; these are short real-time tests of the adapter.
bool YieldUntil(Win32EventLoop& loop, const std::function<bool()>& done,
                std::chrono::milliseconds limit = 3000ms) {
  const auto end = SteadyClock::now() + limit;
  while (!done() && SteadyClock::now() < end) loop.Yield();
  return done();
}

void YieldFor(Win32EventLoop& loop, std::chrono::milliseconds span) {
  const auto end = SteadyClock::now() + span;
  // A helper timer wakes the loop so Yield never waits past the end.
  auto wake = loop.CreateTimer(10, true, [] {});
  while (SteadyClock::now() < end) loop.Yield();
}

TEST(Win32EventLoop, ATimerTicksRepeatedlyWhileTheLoopYields) {
  Win32EventLoop loop;
  int ticks = 0;
  auto timer = loop.CreateTimer(15, true, [&] { ++ticks; });
  EXPECT_TRUE(YieldUntil(loop, [&] { return ticks >= 3; }));
  EXPECT_TRUE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 15);
}

TEST(Win32EventLoop, AHandlerIsNeverReEnteredByItsOwnTimer) {
  Win32EventLoop loop;
  int depth = 0, deepest = 0, ticks = 0;
  auto timer = loop.CreateTimer(10, true, [&] {
    ++ticks;
    deepest = std::max(deepest, ++depth);
    // A waiting routine inside a handler yields; its own timer must not run again here.
    if (ticks == 1) YieldFor(loop, 120ms);
    --depth;
  });
  EXPECT_TRUE(YieldUntil(loop, [&] { return ticks >= 3; }));
  EXPECT_EQ(deepest, 1);
}

TEST(Win32EventLoop, DisabledDestroyedAndZeroIntervalTimersNeverFire) {
  Win32EventLoop loop;
  int disabledTicks = 0, destroyedTicks = 0, zeroTicks = 0;
  auto disabled = loop.CreateTimer(10, true, [&] { ++disabledTicks; });
  disabled->SetEnabled(false);
  auto destroyed = loop.CreateTimer(10, true, [&] { ++destroyedTicks; });
  destroyed.reset();
  auto zero = loop.CreateTimer(0, true, [&] { ++zeroTicks; });
  YieldFor(loop, 100ms);
  EXPECT_EQ(disabledTicks, 0);
  EXPECT_EQ(destroyedTicks, 0);
  EXPECT_EQ(zeroTicks, 0);
}

TEST(Win32EventLoop, EnablingAgainStartsThePeriodAfresh) {
  Win32EventLoop loop;
  std::vector<SteadyClock::time_point> ticks;
  auto timer = loop.CreateTimer(200, true, [&] { ticks.push_back(SteadyClock::now()); });
  YieldFor(loop, 120ms);
  const auto restarted = SteadyClock::now();
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  ASSERT_TRUE(YieldUntil(loop, [&] { return !ticks.empty(); }));
  EXPECT_GE(ticks.front() - restarted, 150ms);
}

TEST(Win32EventLoop, ATimerMayDestroyItselfFromItsHandler) {
  Win32EventLoop loop;
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(10, true, [&] {
    ++ticks;
    timer.reset();
  });
  EXPECT_TRUE(YieldUntil(loop, [&] { return timer == nullptr; }));
  YieldFor(loop, 60ms);
  EXPECT_EQ(ticks, 1);
}

TEST(Win32EventLoop, FiltersSeeMessagesFirstNewestFirstAndMaySwallowThem) {
  Win32EventLoop loop;
  std::vector<char> seen;
  const int older = loop.AddFilter([&](MSG& msg) {
    if (msg.message != WM_APP + 7) return false;
    seen.push_back('a');
    return true;
  });
  const int newer = loop.AddFilter([&](MSG& msg) {
    if (msg.message != WM_APP + 7) return false;
    seen.push_back('b');
    return msg.wParam == 1;
  });
  ::PostMessageA(loop.TimerWindow(), WM_APP + 7, 1, 0);
  ::PostMessageA(loop.TimerWindow(), WM_APP + 7, 2, 0);
  loop.ProcessPending();
  EXPECT_EQ(seen, (std::vector<char>{'b', 'b', 'a'}));
  loop.RemoveFilter(newer);
  ::PostMessageA(loop.TimerWindow(), WM_APP + 7, 1, 0);
  loop.ProcessPending();
  EXPECT_EQ(seen.back(), 'a');
  loop.RemoveFilter(older);
}

TEST(Win32EventLoop, ProcessPendingReturnsAtOnceWhenNothingIsQueued) {
  Win32EventLoop loop;
  auto slow = loop.CreateTimer(5000, true, [] {});
  loop.ProcessPending();
  const auto start = SteadyClock::now();
  loop.ProcessPending();
  EXPECT_LT(SteadyClock::now() - start, 100ms);
}

TEST(Win32EventLoop, AQuitMessageReachesTheQuitHandler) {
  Win32EventLoop loop;
  int exitCode = -1;
  loop.SetQuitHandler([&](int code) { exitCode = code; });
  ::PostQuitMessage(3);
  loop.Yield();
  EXPECT_EQ(exitCode, 3);
  EXPECT_TRUE(loop.QuitReceived());
}

}  // namespace
}  // namespace horalign
