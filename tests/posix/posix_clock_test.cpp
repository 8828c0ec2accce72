#include "platform/posix/posix_clock.h"

#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/util/civil.h"
#include "platform/posix/timedated.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;
using enum ClockSetResult;

CivilTime At(int y, int mo, int d, int h, int mi, int s, int micro = 0) {
  return CivilTime{y, mo, d, h, mi, s, micro, WeekdayOf(y, mo, d)};
}

// The setter only records what it was asked to set; nothing here reaches the real clock.
TEST(PosixClock, SetsTheInstantOfALocalTimeWithTheOffsetInForceBeforeAGapOrRepeat) {
  // Berlin: 2026-03-29 02:00 CET -> 03:00 CEST, 2026-10-25 03:00 CEST -> 02:00 CET;
  // New York: 2026-11-01 02:00 EDT -> 01:00 EST.
  const struct {
    const char* zone;
    CivilTime local, utc;
  } rows[] = {
      {"UTC0", At(2026, 12, 5, 14, 5, 9, 123456), At(2026, 12, 5, 14, 5, 9)},
      {"IST-5:30", At(2027, 1, 1, 3, 0, 0, 999999), At(2026, 12, 31, 21, 30, 0)},
      {"Europe/Berlin", At(2026, 3, 29, 3, 0, 0), At(2026, 3, 29, 1, 0, 0)},
      {"Europe/Berlin", At(2026, 3, 29, 2, 30, 0), At(2026, 3, 29, 1, 30, 0)},    // in the gap
      {"Europe/Berlin", At(2026, 10, 25, 2, 30, 0), At(2026, 10, 25, 0, 30, 0)},  // first pass
      {"Europe/Berlin", At(2026, 10, 25, 3, 0, 0), At(2026, 10, 25, 2, 0, 0)},
      {"America/New_York", At(2026, 11, 1, 1, 30, 0), At(2026, 11, 1, 5, 30, 0)},
  };
  std::vector<timespec> calls;
  PosixClock clock([&](const timespec& when) { return calls.push_back(when), 0; });
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.zone) + " " + std::to_string(row.local.hour));
    ScopedEnv tz("TZ", row.zone);
    if (!std::strchr(row.zone, '/') ||
        std::filesystem::exists(std::string("/usr/share/zoneinfo/") + row.zone)) {
      EXPECT_EQ(clock.SetLocal(row.local), kOk);
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].tv_sec, ToEpochMicros(row.utc) / 1'000'000);
      EXPECT_EQ(calls[0].tv_nsec, row.local.micro * 1000L);
      calls.clear();
    }
  }
  for (const CivilTime& invalid :
       {At(2026, 2, 29, 12, 0, 0), At(2026, 1, 1, 24, 0, 0), At(2026, 1, 1, 12, 0, 0, 1'000'000)}) {
    EXPECT_EQ(clock.SetLocal(invalid), kFailed) << invalid.day << " " << invalid.hour;
  }
  EXPECT_TRUE(calls.empty());
}

TEST(PosixClock, ReadsThePresentInUtcAndInTheLocalZoneAndSleepsAtLeastTheAskedTime) {
  ScopedEnv tz("TZ", "IST-5:30");
  PosixClock clock;
  const auto start = std::chrono::steady_clock::now();
  const std::int64_t now = std::time(nullptr);
  const CivilTime utc = clock.UtcNow(), local = clock.LocalNow();
  clock.SleepMicros(2000);
  const auto slept = std::chrono::steady_clock::now() - start;
  EXPECT_LE(std::abs(ToEpochMicros(utc) / 1'000'000 - now), 1);
  EXPECT_LE(std::abs(ToEpochMicros(local) / 1'000'000 - (5 * 3600 + 30 * 60) - now), 1);
  EXPECT_EQ(local.weekday, WeekdayOf(local.year, local.month, local.day));
  EXPECT_TRUE(local.micro >= 0 && local.micro < 1'000'000);
  EXPECT_TRUE(slept >= 2ms && slept < 500ms);
}

// A message bus of the test's own, where the bus cannot start a real timedated on demand,
// and on it a fake one that gives `answers` to SetTime in order ("ok", or the name of the
// error to refuse with); without answers the bus has no timedated at all.
class FakeTimedated {
 public:
  explicit FakeTimedated(std::vector<std::string> answers) {
    WriteFile(dir_.path + "/bus.conf",
              "<busconfig><type>session</type><listen>unix:dir=" + dir_.path +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    bus_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=1",
                                          "--config-file=" + dir_.path + "/bus.conf"});
    // Never let a failed start leave the clock on the real system bus.
    address = bus_->ReadLine(5000).value_or("unix:path=/nonexistent/horalign-bus");
    if (answers.empty()) return;
    answers.insert(answers.begin(), {HORALIGN_FAKE_TIMEDATED, address});
    service_.emplace(std::move(answers));
    EXPECT_EQ(service_->ReadLine(10'000), "ready") << "the fake timedated did not start";
  }
  // The SetTime calls taken since the last look: the service prints each before answering.
  std::vector<std::string> TakeCalls() {
    std::vector<std::string> calls;
    for (auto line = service_->ReadLine(0); line; line = service_->ReadLine(0)) {
      calls.push_back(*line);
    }
    return calls;
  }
  std::string address;

 private:
  TempDir dir_;
  std::optional<Child> bus_, service_;
};

const std::string kAutoSync = "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";
const std::string kError = "org.freedesktop.DBus.Error.";

TEST(PosixClock, AsksTimedatedOnlyWhenItMayNotSetTheClockItselfAndReportsItsAnswer) {
  enum Bus { kWith, kWithout, kNone };
  const struct {
    int directError;     // what clock_settime answers
    Bus bus;             // the system bus the clock finds
    std::string answer;  // timedated's answer to SetTime; "": it must not be asked
    ClockSetResult expected;
  } rows[] = {{0, kWith, "", kOk},
              {EINVAL, kWith, "", kFailed},
              {EPERM, kWith, "ok", kOk},
              {EPERM, kWith, kAutoSync, kAutoSyncOn},
              {EPERM, kWith, kError + "InteractiveAuthorizationRequired", kNoRight},
              {EPERM, kWith, kError + "AccessDenied", kNoRight},
              {EPERM, kWith, kError + "InvalidArgs", kFailed},
              {EPERM, kWithout, "", kNoRight},
              {EPERM, kNone, "", kNoRight}};
  std::vector<std::string> answers;
  for (const auto& row : rows) {
    if (!row.answer.empty()) answers.push_back(row.answer);
  }
  FakeTimedated with(answers), without({});
  ScopedEnv tz("TZ", "IST-5:30");
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", row.bus == kWith      ? with.address
                                             : row.bus == kWithout ? without.address
                                                                   : "unix:path=/nonexistent/bus");
    int directSets = 0;
    PosixClock clock([&](const timespec&) { return ++directSets, row.directError; },
                     SetTimeThroughTimedated);
    // 08:00:00.25 at UTC+5:30 is 02:30:00.25 UTC, an absolute time, asked interactively.
    EXPECT_EQ(clock.SetLocal(At(2026, 6, 1, 8, 0, 0, 250'000)), row.expected);
    EXPECT_EQ(directSets, 1);
    EXPECT_EQ(with.TakeCalls(),
              std::vector<std::string>(!row.answer.empty(), "SetTime 1780281000250000 false true"));
  }
}

// In a forked child that has lost the right to set the time for certain, the real clock is
// tried. The time asked for is the present one, so even a wrong verdict would move the clock
// by microseconds only.
TEST(PosixClock, AsksTheSystemBusWhenTheProcessMayNotSetTheTime) {
  FakeTimedated timedated({kAutoSync});
  ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", timedated.address);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWUSER) != 0) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2]{};
      const bool got = ::syscall(SYS_capget, &header, data) == 0;
      for (auto* set : {&data[0].effective, &data[0].permitted, &data[0].inheritable}) {
        *set &= ~(1u << CAP_SYS_TIME);
      }
      if (!got || ::syscall(SYS_capset, &header, data) != 0) ::_exit(2);
    }
    PosixClock clock;
    ::_exit(clock.SetLocal(clock.LocalNow()) == kAutoSyncOn ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "cannot drop the right to set the time";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(timedated.TakeCalls().size(), 1u);
}

}  // namespace
}  // namespace horalign
