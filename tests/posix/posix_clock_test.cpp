#include "platform/posix/posix_clock.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/util/civil.h"

namespace horalign {
namespace {

// Sets TZ for one scope and puts back whatever was there before.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

// A clock whose setter only records what it was asked to set.
struct RecordingClock {
  std::vector<timespec> calls;
  int answer = 0;
  PosixClock clock{[this](const timespec& when) {
    calls.push_back(when);
    return answer;
  }};
};

struct ZoneCase {
  const char* what;
  const char* zone;
  CivilTime local;
  CivilTime utc;
};

void ExpectSetsInstant(const ZoneCase& c) {
  SCOPED_TRACE(c.what);
  ScopedTimeZone tz(c.zone);
  RecordingClock rec;
  EXPECT_EQ(rec.clock.SetLocal(c.local), ClockSetResult::kOk);
  ASSERT_EQ(rec.calls.size(), 1u);
  CivilTime whole = c.utc;
  whole.micro = 0;
  EXPECT_EQ(rec.calls[0].tv_sec, ToEpochMicros(whole) / 1'000'000);
  EXPECT_EQ(rec.calls[0].tv_nsec, static_cast<long>(c.local.micro) * 1000);
}

CivilTime At(int y, int mo, int d, int h, int mi, int s, int micro = 0) {
  return CivilTime{y, mo, d, h, mi, s, micro, WeekdayOf(y, mo, d)};
}

TEST(PosixClock, SetsTheInstantOfALocalTimeInFixedZonesKeepingTheMicroseconds) {
  const ZoneCase cases[] = {
      {"UTC", "UTC0", At(2026, 12, 5, 14, 5, 9, 123456), At(2026, 12, 5, 14, 5, 9)},
      {"five and a half hours east", "IST-5:30", At(2026, 12, 5, 14, 5, 9, 999999),
       At(2026, 12, 5, 8, 35, 9)},
      {"east, across midnight", "IST-5:30", At(2027, 1, 1, 3, 0, 0), At(2026, 12, 31, 21, 30, 0)},
      {"ten hours west, leap day", "HST10", At(2028, 2, 29, 20, 0, 0), At(2028, 3, 1, 6, 0, 0)},
  };
  for (const auto& c : cases) ExpectSetsInstant(c);
}

bool HasZone(const char* name) {
  return std::filesystem::exists(std::filesystem::path("/usr/share/zoneinfo") / name);
}

TEST(PosixClock, ReadsDaylightSavingZonesWithTheOffsetInForceBeforeAGapOrRepeat) {
  if (!HasZone("Europe/Berlin") || !HasZone("America/New_York")) {
    GTEST_SKIP() << "tzdata is not installed";
  }
  // Berlin: 2026-03-29 02:00 CET -> 03:00 CEST; 2026-10-25 03:00 CEST -> 02:00 CET.
  // New York: 2026-03-08 02:00 EST -> 03:00 EDT; 2026-11-01 02:00 EDT -> 01:00 EST.
  const ZoneCase cases[] = {
      {"winter", "Europe/Berlin", At(2026, 1, 15, 12, 0, 0), At(2026, 1, 15, 11, 0, 0)},
      {"summer", "Europe/Berlin", At(2026, 7, 15, 12, 0, 0, 500), At(2026, 7, 15, 10, 0, 0)},
      {"last second before spring forward", "Europe/Berlin", At(2026, 3, 29, 1, 59, 59),
       At(2026, 3, 29, 0, 59, 59)},
      {"first second after spring forward", "Europe/Berlin", At(2026, 3, 29, 3, 0, 0),
       At(2026, 3, 29, 1, 0, 0)},
      {"spring gap reads as summer time past it", "Europe/Berlin", At(2026, 3, 29, 2, 30, 0),
       At(2026, 3, 29, 1, 30, 0)},
      {"repeated hour is its first pass", "Europe/Berlin", At(2026, 10, 25, 2, 30, 0),
       At(2026, 10, 25, 0, 30, 0)},
      {"after the repeated hour", "Europe/Berlin", At(2026, 10, 25, 3, 0, 0),
       At(2026, 10, 25, 2, 0, 0)},
      {"before fall back, across the date", "Europe/Berlin", At(2026, 10, 25, 0, 30, 0),
       At(2026, 10, 24, 22, 30, 0)},
      {"western spring gap", "America/New_York", At(2026, 3, 8, 2, 15, 0),
       At(2026, 3, 8, 7, 15, 0)},
      {"western repeated hour", "America/New_York", At(2026, 11, 1, 1, 30, 0),
       At(2026, 11, 1, 5, 30, 0)},
      {"western winter, across the date", "America/New_York", At(2026, 12, 31, 22, 0, 0),
       At(2027, 1, 1, 3, 0, 0)},
  };
  for (const auto& c : cases) ExpectSetsInstant(c);
}

TEST(PosixClock, RefusesAnInvalidLocalTimeWithoutSettingAnything) {
  const CivilTime cases[] = {
      At(2026, 13, 1, 0, 0, 0),     At(2026, 2, 29, 12, 0, 0),           At(2026, 4, 31, 12, 0, 0),
      At(2026, 1, 1, 24, 0, 0),     At(2026, 1, 1, 12, 60, 0),           At(2026, 1, 1, 12, 0, 60),
      At(2026, 1, 1, 12, 0, 0, -1), At(2026, 1, 1, 12, 0, 0, 1'000'000), At(0, 1, 1, 0, 0, 0),
  };
  RecordingClock rec;
  for (const auto& c : cases) {
    EXPECT_EQ(rec.clock.SetLocal(c), ClockSetResult::kFailed)
        << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":"
        << c.second << "." << c.micro;
  }
  EXPECT_TRUE(rec.calls.empty());
}

TEST(PosixClock, MapsTheSettersRefusalToAResult) {
  ScopedTimeZone tz("UTC0");
  const std::pair<int, ClockSetResult> cases[] = {
      {0, ClockSetResult::kOk},
      {EPERM, ClockSetResult::kNoRight},
      {EINVAL, ClockSetResult::kFailed},
  };
  for (const auto& [error, expected] : cases) {
    RecordingClock rec;
    rec.answer = error;
    EXPECT_EQ(rec.clock.SetLocal(At(2026, 6, 1, 8, 0, 0)), expected) << "errno " << error;
    EXPECT_EQ(rec.calls.size(), 1u);
  }
}

TEST(PosixClock, ReadsThePresentInUtcAndInTheLocalZone) {
  ScopedTimeZone tz("IST-5:30");
  PosixClock clock;
  const std::time_t before = std::time(nullptr);
  const CivilTime utc = clock.UtcNow();
  const CivilTime local = clock.LocalNow();
  const std::time_t after = std::time(nullptr);
  const std::int64_t utcSeconds = ToEpochMicros(utc) / 1'000'000;
  const std::int64_t localSeconds = ToEpochMicros(local) / 1'000'000 - (5 * 3600 + 30 * 60);
  for (const std::int64_t seen : {utcSeconds, localSeconds}) {
    EXPECT_GE(seen, before - 1);
    EXPECT_LE(seen, after + 1);
  }
  EXPECT_EQ(utc.weekday, WeekdayOf(utc.year, utc.month, utc.day));
  EXPECT_EQ(local.weekday, WeekdayOf(local.year, local.month, local.day));
  EXPECT_GE(local.micro, 0);
  EXPECT_LT(local.micro, 1'000'000);
}

TEST(PosixClock, SleepsAtLeastTheAskedTime) {
  PosixClock clock;
  const auto start = std::chrono::steady_clock::now();
  clock.SleepMicros(2000);
  const auto slept = std::chrono::steady_clock::now() - start;
  EXPECT_GE(slept, std::chrono::microseconds(2000));
  EXPECT_LT(slept, std::chrono::milliseconds(500));
}

// Whether bit 25 (CAP_SYS_TIME) is in this process's effective set.
bool HoldsSysTimeCapability() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long bits = std::stoull(line.substr(7), nullptr, 16);
      return (bits >> CAP_SYS_TIME) & 1u;
    }
  }
  return true;  // cannot tell: assume the right is held
}

bool DropSysTimeCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_SYS_TIME);
  data[0].permitted &= ~(1u << CAP_SYS_TIME);
  data[0].inheritable &= ~(1u << CAP_SYS_TIME);
  return ::syscall(SYS_capset, &header, data) == 0;
}

enum ChildOutcome { kRefused = 0, kNotRefused = 1, kRightKept = 2 };

// In a forked child: lose the right to set the time for certain, then try for real. The time
// asked for is the present one, so even a wrong verdict would move the clock by microseconds.
[[noreturn]] void TrySetWithoutTheRight() {
  const bool inNewUserNamespace = ::unshare(CLONE_NEWUSER) == 0;
  if (!inNewUserNamespace && !(DropSysTimeCapability() && !HoldsSysTimeCapability())) {
    ::_exit(kRightKept);
  }
  PosixClock clock;
  const ClockSetResult result = clock.SetLocal(clock.LocalNow());
  ::_exit(result == ClockSetResult::kNoRight ? kRefused : kNotRefused);
}

TEST(PosixClock, ReportsNoRightWhenTheProcessMayNotSetTheTime) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) TrySetWithoutTheRight();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kRightKept) GTEST_SKIP() << "cannot drop the right to set the time";
  EXPECT_EQ(WEXITSTATUS(status), kRefused);
}

}  // namespace
}  // namespace horalign
