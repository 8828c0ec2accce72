#include "platform/posix/posix_clock.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "core/util/civil.h"
#include "platform/posix/poll_event_loop.h"
#include "platform/posix/resume_watch.h"
#include "platform/posix/timedated.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;
using enum ClockSetResult;
using enum TimeJumpCause;

CivilTime At(int y, int mo, int d, int h, int mi, int s, int micro = 0) {
  return CivilTime{y, mo, d, h, mi, s, micro, WeekdayOf(y, mo, d)};
}

// The setter only records what it was asked to set; nothing here reaches the real clock.
TEST(PosixClock, SetsTheInstantOfALocalTimeWithTheOffsetInForceBeforeAGapOrRepeat) {
  // Berlin: 2026-03-29 02:00 CET -> 03:00 CEST, 2026-10-25 03:00 CEST -> 02:00 CET;
  // New York: 2026-03-08 02:00 EST -> 03:00 EDT.
  const struct {
    const char* zone;
    CivilTime local, utc;
  } rows[] = {
      {"IST-5:30", At(2027, 1, 1, 3, 0, 0, 999999), At(2026, 12, 31, 21, 30, 0)},
      // West of UTC the wall time read as UTC falls before the change it comes after.
      {"America/New_York", At(2026, 3, 8, 3, 30, 0), At(2026, 3, 8, 7, 30, 0)},
      {"Europe/Berlin", At(2026, 3, 29, 2, 30, 0), At(2026, 3, 29, 1, 30, 0)},    // in the gap
      {"Europe/Berlin", At(2026, 10, 25, 2, 30, 0), At(2026, 10, 25, 0, 30, 0)},  // first pass
  };
  std::vector<timespec> calls;
  PosixClock clock([&](const timespec& when) { return calls.push_back(when), 0; });
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.zone) + " " + std::to_string(row.local.hour));
    ScopedEnv tz("TZ", row.zone);
    if (std::strchr(row.zone, '/') && !std::filesystem::exists("/usr/share/zoneinfo")) continue;
    EXPECT_EQ(clock.SetLocal(row.local), kOk);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].tv_sec, ToEpochMicros(row.utc) / 1'000'000);
    EXPECT_EQ(calls[0].tv_nsec, row.local.micro * 1000L);
    calls.clear();
  }
  for (const CivilTime& invalid :
       {At(2026, 2, 29, 12, 0, 0), At(2026, 1, 1, 24, 0, 0), At(2026, 1, 1, 12, 0, 0, 1'000'000)}) {
    EXPECT_EQ(clock.SetLocal(invalid), kFailed) << invalid.day << " " << invalid.hour;
  }
  EXPECT_TRUE(calls.empty());
}

TEST(PosixClock, ReadsThePresentInUtcAndInTheLocalZone) {
  ScopedEnv tz("TZ", "IST-5:30");
  PosixClock clock;
  const CivilTime utc = clock.UtcNow(), local = clock.LocalNow();
  EXPECT_NEAR(ToEpochMicros(local) - ToEpochMicros(utc), 19'800e6, 2e5);
  EXPECT_LE(std::abs(ToEpochMicros(utc) / 1'000'000 - std::time(nullptr)), 1);
  EXPECT_EQ(local.weekday, WeekdayOf(local.year, local.month, local.day));
}

const std::string kAutoSync = "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";
const std::string kError = "org.freedesktop.DBus.Error.";

std::int64_t RealtimeUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// The fake timedated's record of a call ("SetTime USEC RELATIVE INTERACTIVE"): asked
// interactively, by the distance from the PC's time when `targetUs` was asked for at
// `askedUs`, so that a wait for an answer does not leave the clock behind.
void ExpectAskedFor(const std::optional<std::string>& line, std::int64_t targetUs,
                    std::int64_t askedUs) {
  long long usec = 0;
  char relative[8] = "", interactive[8] = "";
  ASSERT_TRUE(line &&
              std::sscanf(line->c_str(), "SetTime %lld %7s %7s", &usec, relative, interactive) == 3)
      << line.value_or("(none)");
  EXPECT_STREQ(relative, "true");
  EXPECT_STREQ(interactive, "true");
  EXPECT_NEAR(static_cast<double>(usec), static_cast<double>(targetUs - askedUs), 50e3);
}

// Its "set USEC" once it said yes: the time the clock then took.
std::int64_t SetTo(const std::optional<std::string>& line) {
  long long usec = 0;
  return line && std::sscanf(line->c_str(), "set %lld", &usec) == 1 ? usec : -1;
}

TEST(PosixClock, AsksTimedatedOnlyWhenItMayNotSetTheClockItselfAndReportsItsAnswer) {
  const struct {
    int directError;     // what clock_settime answers
    std::string answer;  // timedated's answer to SetTime; "": it must not be asked
    ClockSetResult expected;
    bool noBus = false;
  } rows[] = {{0, "", kOk},
              {EINVAL, "", kFailed},
              {EPERM, "ok", kOk},
              {EPERM, kAutoSync, kAutoSyncOn},
              {EPERM, kError + "InteractiveAuthorizationRequired", kNoRight},
              {EPERM, kError + "InvalidArgs", kFailed},
              {EPERM, kError + "ServiceUnknown", kNoRight},  // no timedated on the bus
              {EPERM, "", kNoRight, true}};
  // A message bus of the test's own, where a real timedated cannot be started on demand, and
  // on it a fake one that gives the rows' answers to SetTime in order, printing each call.
  PrivateBus bus;
  std::vector<std::string> args{HORALIGN_FAKE_TIMEDATED, bus.address};
  for (const auto& row : rows)
    if (!row.answer.empty()) args.push_back(row.answer);
  Child timedated(args);
  ASSERT_EQ(timedated.ReadLine(10'000), "ready");
  ScopedEnv tz("TZ", "IST-5:30");
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", row.noBus ? "unix:path=/nonexistent" : bus.address);
    int directSets = 0;
    PosixClock clock([&](const timespec&) { return ++directSets, row.directError; },
                     SetTimeThroughTimedated);
    // 08:00:00.25 at UTC+5:30 is 02:30:00.25 UTC.
    const std::int64_t askedUs = RealtimeUs();
    EXPECT_EQ(clock.SetLocal(At(2026, 6, 1, 8, 0, 0, 250'000)), row.expected);
    EXPECT_EQ(directSets, 1);
    if (row.answer.empty()) {
      EXPECT_EQ(timedated.ReadLine(0), std::nullopt);
      continue;
    }
    ExpectAskedFor(timedated.ReadLine(0), 1780281000250000, askedUs);
    if (row.answer == "ok") {
      EXPECT_NEAR(SetTo(timedated.ReadLine(0)), 1780281000250000, 50e3);
    }
  }
}

// With the poll loop as the wait, the loop goes on while timedated has not answered; a
// request made meanwhile waits for that answer, then asks in turn; a lost bus is no right.
TEST(PosixClock, RunsTheLoopWhileTimedatedIsAskedAndGivesEachRequestItsOwnAnswer) {
  PrivateBus bus;
  Child timedated(
      {HORALIGN_FAKE_TIMEDATED, bus.address, "delay:1000:ok", kAutoSync, "delay:5000:ok"});
  ASSERT_EQ(timedated.ReadLine(10'000), "ready");
  ScopedEnv tz("TZ", "IST-5:30");
  ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  PollEventLoop loop;
  Timedated asker([&loop](int fd, std::int64_t maxUs) { loop.YieldWatching(fd, maxUs); });
  PosixClock clock([](const timespec&) { return EPERM; },
                   [&asker](std::int64_t utcMicros) { return asker.SetTime(utcMicros); });
  std::vector<TimeJump> jumps;
  clock.SetJumpListener([&](const TimeJump& jump) { jumps.push_back(jump); });
  clock.WatchJumps();
  int ticks = 0;
  std::optional<ClockSetResult> second;
  std::int64_t secondAnsweredMs = -1, secondUs = 0;
  const std::int64_t startMs = loop.MonotonicMs();
  const auto ticker = loop.CreateTimer(50, true, [&] { ++ticks; });
  std::unique_ptr<Timer> once;
  once = loop.CreateTimer(100, true, [&] {
    once->SetEnabled(false);
    clock.CheckJumps(clock.WallAheadUs() + 2'000'000);  // as timedated's step would be
    secondUs = RealtimeUs();
    second = clock.SetLocal(At(2026, 6, 1, 8, 0, 1));
    secondAnsweredMs = loop.MonotonicMs() - startMs;
  });
  const std::int64_t firstUs = RealtimeUs();
  EXPECT_EQ(clock.SetLocal(At(2026, 6, 1, 8, 0, 0, 250'000)), kOk);
  EXPECT_GE(ticks, 10);  // some 20 in the second it waited
  EXPECT_EQ(second, kAutoSyncOn);
  EXPECT_GE(secondAnsweredMs, 900);  // asked only once the first had its answer
  EXPECT_TRUE(jumps.empty());
  ExpectAskedFor(timedated.ReadLine(0), 1780281000250000, firstUs);
  // Set a second after it was asked (an administrator typing a password): to the time
  // asked for as it stands then, not to a time a second old.
  EXPECT_NEAR(SetTo(timedated.ReadLine(0)) - 1780281000250000, 1e6, 200e3);
  ExpectAskedFor(timedated.ReadLine(0), 1780281001000000, secondUs);

  // The bus goes away while the third question is open.
  const auto breaker = loop.CreateTimer(200, true, [&] { bus.daemon.Stop(SIGKILL); });
  const std::int64_t thirdMs = loop.MonotonicMs(), thirdUs = RealtimeUs();
  EXPECT_EQ(clock.SetLocal(At(2026, 6, 1, 8, 0, 2)), kNoRight);
  EXPECT_LT(loop.MonotonicMs() - thirdMs, 4000);  // before the answer was due
  ExpectAskedFor(timedated.ReadLine(0), 1780281002000000, thirdUs);
}

// Jumps: the timerfd is armed for the next whole minute; a step of the wall clock and a new
// UTC offset are reported, the program's own setting is not, nor a suspend: that moves the
// wall clock and CLOCK_BOOTTIME on alike and leaves CLOCK_MONOTONIC behind (logind reports
// the wake).
TEST(PosixClock, ReportsStepsAndOffsetChangesButNotItsOwnSettingNorASuspend) {
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  constexpr std::int64_t kHourUs = 3'600'000'000;
  std::map<clockid_t, std::int64_t> now{{CLOCK_REALTIME, 1'796'479'509'000'000},
                                        {CLOCK_MONOTONIC, 5'000'000},
                                        {CLOCK_BOOTTIME, 5'000'000}};
  PosixClock clock([](const timespec&) { return 0; }, {},
                   [&now](clockid_t c) { return now.at(c); });
  using Jumps = std::vector<std::pair<TimeJumpCause, std::int64_t>>;
  Jumps jumps;
  clock.SetJumpListener(
      [&](const TimeJump& jump) { jumps.emplace_back(jump.cause, jump.stepMicros); });
  const int fd = clock.WatchJumps();
  ASSERT_GE(fd, 0);
  itimerspec armed{};
  ::timerfd_gettime(fd, &armed);
  EXPECT_LE(armed.it_value.tv_sec, 60);
  EXPECT_GT(armed.it_value.tv_sec * 1'000'000'000L + armed.it_value.tv_nsec, 0);
  now[CLOCK_REALTIME] += 2'000'000;  // stepped 2 s forwards
  clock.CheckJumps();
  now[CLOCK_REALTIME] -= kHourUs;  // the program's own step, as the setting below makes it
  clock.SetLocal(clock.LocalNow());
  clock.CheckJumps();
  ScopedEnv zone("TZ", "IST-5:30");
  clock.CheckJumps();
  now[CLOCK_REALTIME] += 3 * kHourUs;  // three hours asleep
  now[CLOCK_BOOTTIME] += 3 * kHourUs;
  clock.CheckJumps();
  for (auto& [id, us] : now) us += 10'000'000;  // ten seconds awake
  clock.CheckJumps();
  now[CLOCK_REALTIME] -= 5'000'000;  // someone steps the clock back
  clock.CheckJumps();
  EXPECT_EQ(jumps, (Jumps{{kStep, 2'000'000}, {kOffsetChange, 0}, {kStep, -5'000'000}}));
}

// A write's wait for the start of a second serves the service's readers, and still ends on
// time: no earlier than asked, whatever comes in.
TEST(PosixClock, ASleepServesWhatComesInAndStillEndsAtItsDeadline) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  PosixClock clock([](const timespec&) { return EPERM; });
  std::vector<std::int64_t> servedAtUs;
  using std::chrono::steady_clock;
  const auto sinceUs = [start = steady_clock::now()] {
    return std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - start)
        .count();
  };
  clock.ServeDuringSleeps(fds[0], [&] {
    char c = 0;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    servedAtUs.push_back(sinceUs());
    // Each question answered brings the next one, as a flood of readers would.
    if (servedAtUs.size() < 3) {
      ASSERT_EQ(::write(fds[1], "q", 1), 1);
    }
  });
  ASSERT_EQ(::write(fds[1], "q", 1), 1);
  clock.SleepMicros(40'000);
  const std::int64_t sleptUs = sinceUs();
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(servedAtUs.size(), 3u);
  for (std::int64_t at : servedAtUs) EXPECT_LT(at, 40'000);
  EXPECT_GE(sleptUs, 40'000);
}

// Waking from sleep comes from logind on the system bus, through the poll loop; without a
// bus there is nothing to watch and nothing fails. Only the owner of logind's name is heard:
// another connection's PrepareForSleep(false), broadcast or sent to the watcher alone, is
// nothing, also when the name has passed to a new owner since the watch began.
TEST(ResumeWatch, ReportsAWakeFromLogindOnlyAndNothingWithoutABus) {
  PrivateBus bus;
  int resumes = 0;
  PosixClock clock([](const timespec&) { return 0; });
  clock.SetJumpListener([&](const TimeJump& jump) { resumes += jump.cause == kResume; });
  {
    ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    EXPECT_EQ(ResumeWatch(clock).Fd(), -1);
  }
  ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  PollEventLoop loop;
  auto timer = loop.CreateTimer(50, true, [] {});
  std::optional<ResumeWatch> resume;
  for (int owner = 1; owner <= 2; ++owner) {
    SCOPED_TRACE(owner);
    Child login({HORALIGN_FAKE_TIMEDATED, bus.address, "--sleeps"});
    ASSERT_EQ(login.ReadLine(10'000), "ready");
    if (!resume) {  // the first owner is asked for, the second one heard of
      resume.emplace(clock);
      ASSERT_GE(resume->Fd(), 0);
      loop.WatchFd(resume->Fd(), [&resume] { return resume->Process(); });
    }
    Child impostor({HORALIGN_FAKE_TIMEDATED, bus.address, "--impostor"});
    ASSERT_EQ(impostor.ReadLine(10'000), "sent");
    // The bus delivers in order: the impostor's signals come before the owner's.
    login.Signal(SIGUSR1);
    ASSERT_EQ(login.ReadLine(5000), "woke");
    for (int i = 0; i < 40 && resumes < owner; ++i) loop.RunForMs(50);
    loop.RunForMs(200);
    EXPECT_EQ(resumes, owner);
  }
}

}  // namespace
}  // namespace horalign
