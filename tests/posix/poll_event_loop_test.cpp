// The poll loop is an adapter: these run it for real, briefly. Lower bounds on when a tick
// comes and upper bounds on how often are safe on a busy machine: the loop may be late,
// never early, and lateness only coalesces ticks.
#include "platform/posix/poll_event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace horalign {
namespace {

double CpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

TEST(PollEventLoop, AWaitingHandlerIsNotReenteredOthersTickAndItsMissedTicksCoalesce) {
  PollEventLoop loop;
  int outer = 0, inner = 0, nested = 0;
  bool inOuter = false;
  auto innerTimer = loop.CreateTimer(5, true, [&] { ++inner; });
  auto outerTimer = loop.CreateTimer(5, true, [&] {
    nested += inOuter;
    ++outer;
    if (outer > 1) return;
    inOuter = true;
    loop.RunForMs(60);  // waits as a device exchange does, yielding
    inOuter = false;
  });
  const double cpuBefore = CpuMs();
  loop.RunForMs(100);
  EXPECT_EQ(nested, 0);
  EXPECT_GE(inner, 10) << "the other timer ticks while the handler waits";
  // The 12 periods missed inside the first call give one catch-up tick, followed by at
  // most seven regular ones in the 35 ms left.
  EXPECT_GE(outer, 2);
  EXPECT_LE(outer, 10);
  EXPECT_LT(CpuMs() - cpuBefore, 10) << "100 ms of waiting must not spin a core";
}

TEST(PollEventLoop, EnablingOrANewIntervalStartsTheTimersPeriodAfresh) {
  PollEventLoop loop;
  std::vector<std::int64_t> ticks;
  auto timer = loop.CreateTimer(30, true, [&] { ticks.push_back(MonotonicUs()); });
  loop.RunForMs(20);
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  const std::int64_t enabledUs = MonotonicUs();
  loop.RunForMs(35);
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_GE(ticks[0] - enabledUs, 30'000);

  timer->SetInterval(40);
  const std::int64_t changedUs = MonotonicUs();
  loop.RunForMs(45);
  ASSERT_EQ(ticks.size(), 2u);
  EXPECT_GE(ticks[1] - changedUs, 40'000);
}

TEST(PollEventLoop, AWatchedSignalIsHandledOnTheLoopAndCanEndRun) {
  PollEventLoop loop;
  std::vector<int> received;
  ASSERT_TRUE(loop.WatchSignals({SIGUSR1, SIGUSR2}, [&](int number) {
    received.push_back(number);
    if (number == SIGUSR2) loop.Stop();
  }));
  // Sent from a timer, so Run is sleeping in ppoll when the second one comes.
  int sent = 0;
  auto sender =
      loop.CreateTimer(10, true, [&] { ::kill(::getpid(), ++sent == 1 ? SIGUSR1 : SIGUSR2); });
  loop.Run();
  EXPECT_EQ(received, (std::vector<int>{SIGUSR1, SIGUSR2}));

  // A second loop cannot take the signals while the first holds them.
  PollEventLoop other;
  EXPECT_FALSE(other.WatchSignals({SIGUSR1}, [](int) {}));
}

}  // namespace
}  // namespace horalign
