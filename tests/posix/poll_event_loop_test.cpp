// The poll loop is an adapter: these run it for real, briefly. Lower bounds on when a tick
// comes and upper bounds on how often are safe on a busy machine: the loop may be late,
// never early, and lateness only coalesces ticks.
#include "platform/posix/poll_event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace horalign {
namespace {

double CpuMs() {
  return 1e3 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

TEST(PollEventLoop, AWaitingHandlerIsNotReenteredOthersTickAndItsMissedTicksCoalesce) {
  PollEventLoop loop;
  int outer = 0, innerWhileWaiting = 0, nested = 0;
  bool inOuter = false;
  auto innerTimer = loop.CreateTimer(5, true, [&] { innerWhileWaiting += inOuter; });
  auto outerTimer = loop.CreateTimer(5, true, [&] {
    nested += inOuter;
    if (++outer > 1) return;
    inOuter = true;
    loop.RunForMs(60);  // waits as a device exchange does, yielding
    inOuter = false;
  });
  const double cpuBefore = CpuMs();
  loop.RunForMs(100);
  EXPECT_EQ(nested, 0);
  EXPECT_GE(innerWhileWaiting, 2) << "the other timer ticks while the handler waits";
  // The 12 periods missed inside the first call give one catch-up tick, followed by the
  // regular ones left: seven, or up to nine where the first call came late and the rest fall
  // on both ends of what is left. Uncoalesced, the missed periods alone would be 12 more.
  EXPECT_TRUE(outer >= 2 && outer <= 12) << outer;
  EXPECT_LT(CpuMs() - cpuBefore, 10) << "100 ms of waiting must not spin a core";
}

TEST(PollEventLoop, EnablingOrANewIntervalStartsTheTimersPeriodAfresh) {
  // Only the first tick after each change is looked at, and only for not coming early: a
  // loaded machine may wake the loop late, never early.
  PollEventLoop loop;
  std::vector<std::int64_t> ticks;
  auto timer = loop.CreateTimer(30, true, [&] { ticks.push_back(MonotonicUs()); });
  loop.RunForMs(20);
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  ticks.clear();
  const std::int64_t enabledUs = MonotonicUs();
  loop.RunForMs(35);
  ASSERT_FALSE(ticks.empty());
  EXPECT_GE(ticks[0] - enabledUs, 30'000);

  timer->SetInterval(40);
  ticks.clear();
  const std::int64_t changedUs = MonotonicUs();
  loop.RunForMs(45);
  ASSERT_FALSE(ticks.empty());
  EXPECT_GE(ticks[0] - changedUs, 40'000);
}

// Each sleep in ppoll that a timer ends is a voluntary context switch of this thread.
long VoluntarySwitches() {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(24));
  }
  return -1;
}

// A timer that does not tick while idle neither runs nor wakes the loop outside a Yield, and
// ticks inside one as any timer.
TEST(PollEventLoop, ATimerThatSleepsThroughIdleTimeTicksOnlyInsideAYield) {
  PollEventLoop loop;
  int idleTicks = 0, waitTicks = 0;
  bool waiting = false;
  auto tick = loop.CreateTimer(5, true, [&] { ++(waiting ? waitTicks : idleTicks); });
  tick->SetTicksWhileIdle(false);
  const long switchesBefore = VoluntarySwitches();
  loop.RunForMs(100);
  EXPECT_LT(VoluntarySwitches() - switchesBefore, 5) << "woken for a timer that sleeps";
  auto waiter = loop.CreateTimer(1, true, [&] {
    waiting = true;
    for (const std::int64_t end = MonotonicUs() + 60'000; MonotonicUs() < end;) loop.Yield();
    waiting = false;
  });
  loop.RunForMs(20);
  EXPECT_EQ(idleTicks, 0);
  EXPECT_GE(waitTicks, 2);
}

// Its ticks that fell while the loop slept have passed: a wait that a descriptor's handler
// begins after such a sleep gets its first tick at the next one of the timer's period, not
// at once.
TEST(PollEventLoop, ATimerThatSleptThroughIdleTimeDoesNotTickAtOnceInTheNextWait) {
  PollEventLoop loop;
  std::int64_t firstTickUs = -1;
  auto tick = loop.CreateTimer(40, true, [&] {
    if (firstTickUs < 0) firstTickUs = MonotonicUs();
  });
  tick->SetTicksWhileIdle(false);
  const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  const itimerspec at50ms{{0, 0}, {0, 50'000'000}};
  ASSERT_EQ(::timerfd_settime(fd, 0, &at50ms, nullptr), 0);
  std::int64_t waitUs = -1;
  loop.WatchFd(fd, [&] {
    const std::int64_t startUs = MonotonicUs();
    while (firstTickUs < 0) loop.Yield();
    waitUs = firstTickUs - startUs;
    return false;
  });
  loop.RunForMs(100);
  ::close(fd);
  EXPECT_GE(waitUs, 500) << "the tick due at 40 ms fell while the loop slept";
}

// A watched signal is handled in the loop, not inside the signal handler, and a loop that ends
// gives the signal back to the handler it found, so a later loop can watch it again.
TEST(PollEventLoop, AWatchedSignalIsHandledInTheLoopAndItsHandlerIsGivenBackAtTheEnd) {
  static int rawSeen = 0;
  struct sigaction raw {};
  raw.sa_handler = [](int) { ++rawSeen; };
  sigemptyset(&raw.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &raw, &before), 0);
  for (int round = 1; round <= 2; ++round) {
    std::vector<int> handled;
    {
      PollEventLoop loop;
      ASSERT_TRUE(loop.WatchSignals({SIGUSR1}, [&](int number) { handled.push_back(number); }));
      EXPECT_FALSE(loop.WatchSignals({SIGUSR2}, [](int) {})) << "one watch per loop";
      ::raise(SIGUSR1);
      EXPECT_TRUE(handled.empty()) << "not inside the signal handler";
      loop.RunForMs(5);
    }
    EXPECT_EQ(handled, std::vector<int>{SIGUSR1});
    EXPECT_EQ(rawSeen, round - 1) << "the earlier handler was not called while watched";
    ::raise(SIGUSR1);
    EXPECT_EQ(rawSeen, round) << "the loop gave the signal back";
  }
  ::sigaction(SIGUSR1, &before, nullptr);
}

}  // namespace
}  // namespace horalign
