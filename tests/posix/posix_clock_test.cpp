#include "platform/posix/posix_clock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include "platform/posix/timedated.h"

namespace horalign {
namespace {

// Sets an environment variable for one scope and puts back whatever was there before; TZ is
// read again at both ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
    ::tzset();
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    ::tzset();
  }

 private:
  const char* name_;
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
  ScopedEnv tz("TZ", c.zone);
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

// A program the test starts and reads the output of; it ends with this object, or with the
// test program should that die first.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(fds[1], STDOUT_FILENO);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // The next line it printed, without the newline; nothing when none came within `waitMs`.
  std::optional<std::string> ReadLine(int waitMs) {
    std::string line;
    char c = 0;
    for (;;) {
      pollfd ready{out_, POLLIN, 0};
      if (::poll(&ready, 1, waitMs) != 1 || ::read(out_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// A message bus of the test's own and, on it, a fake systemd-timedated that gives `answers` to
// SetTime in order ("ok", or the name of the error to refuse with). Without answers the bus
// has no timedated at all. Nothing on it can reach the machine's clock.
class FakeTimedated {
 public:
  explicit FakeTimedated(std::vector<std::string> answers) {
    // Never let a failed start leave the clock on the real system bus.
    address_ = "unix:path=/nonexistent/horalign-bus";
    std::string pattern = ::testing::TempDir() + "horalign-bus-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "no temporary folder";
      return;
    }
    dir_ = pattern;
    // No service folders: the bus cannot start a real timedated on demand.
    std::ofstream(dir_ + "/bus.conf")
        << "<busconfig><type>session</type><listen>unix:dir=" << dir_
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
        << "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
        << "<allow own=\"*\"/></policy></busconfig>\n";
    bus_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=1",
                                          "--config-file=" + dir_ + "/bus.conf"});
    const auto address = bus_->ReadLine(5000);
    if (!address) {
      ADD_FAILURE() << "dbus-daemon did not start";
      return;
    }
    address_ = *address;
    if (answers.empty()) return;
    answers.insert(answers.begin(), {HORALIGN_FAKE_TIMEDATED, address_});
    service_.emplace(std::move(answers));
    EXPECT_EQ(service_->ReadLine(10'000), "ready") << "the fake timedated did not start";
  }
  ~FakeTimedated() {
    service_.reset();
    bus_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  const std::string& Address() const { return address_; }

  // The SetTime calls taken since the last look. The service prints each call before it
  // answers, so a call that has returned is already here.
  std::vector<std::string> TakeCalls() {
    std::vector<std::string> calls;
    while (service_) {
      const auto line = service_->ReadLine(0);
      if (!line) break;
      calls.push_back(*line);
    }
    return calls;
  }

 private:
  std::string dir_;
  std::string address_;
  std::optional<Child> bus_;
  std::optional<Child> service_;
};

constexpr const char* kAutoSyncError = "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";

enum class Bus { kWithTimedated, kWithoutTimedated, kNone };

struct AskCase {
  const char* what;
  int directError;     // what clock_settime answers
  Bus bus;             // the system bus the clock finds
  const char* answer;  // timedated's answer to SetTime; nullptr: it must not be asked
  ClockSetResult expected;
};

TEST(PosixClock, AsksTimedatedOnlyWhenItMayNotSetTheClockItselfAndReportsItsAnswer) {
  const AskCase cases[] = {
      {"the clock is set directly", 0, Bus::kWithTimedated, nullptr, ClockSetResult::kOk},
      {"a direct set fails for another reason", EINVAL, Bus::kWithTimedated, nullptr,
       ClockSetResult::kFailed},
      {"timedated sets it", EPERM, Bus::kWithTimedated, "ok", ClockSetResult::kOk},
      {"automatic time synchronization is on", EPERM, Bus::kWithTimedated, kAutoSyncError,
       ClockSetResult::kAutoSyncOn},
      {"polkit has no one to ask", EPERM, Bus::kWithTimedated,
       "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", ClockSetResult::kNoRight},
      {"the administrator says no", EPERM, Bus::kWithTimedated,
       "org.freedesktop.DBus.Error.AccessDenied", ClockSetResult::kNoRight},
      {"timedated refuses the time", EPERM, Bus::kWithTimedated,
       "org.freedesktop.DBus.Error.InvalidArgs", ClockSetResult::kFailed},
      {"no timedated on the bus", EPERM, Bus::kWithoutTimedated, nullptr, ClockSetResult::kNoRight},
      {"no system bus", EPERM, Bus::kNone, nullptr, ClockSetResult::kNoRight},
  };
  std::vector<std::string> answers;
  for (const AskCase& c : cases) {
    if (c.answer) answers.emplace_back(c.answer);
  }
  FakeTimedated withTimedated(answers);
  FakeTimedated withoutTimedated({});
  ScopedEnv tz("TZ", "IST-5:30");
  for (const AskCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string address = c.bus == Bus::kWithTimedated      ? withTimedated.Address()
                                : c.bus == Bus::kWithoutTimedated ? withoutTimedated.Address()
                                                                  : "unix:path=/nonexistent/bus";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", address);
    int directSets = 0;
    PosixClock clock(
        [&](const timespec&) {
          ++directSets;
          return c.directError;
        },
        SetTimeThroughTimedated);
    // 08:00:00.25 at UTC+5:30 is 02:30:00.25 UTC, an absolute time, asked interactively.
    EXPECT_EQ(clock.SetLocal(At(2026, 6, 1, 8, 0, 0, 250'000)), c.expected);
    EXPECT_EQ(directSets, 1);
    std::vector<std::string> expectedCalls;
    if (c.answer) expectedCalls.emplace_back("SetTime 1780281000250000 false true");
    EXPECT_EQ(withTimedated.TakeCalls(), expectedCalls);
  }
}

TEST(PosixClock, ReadsThePresentInUtcAndInTheLocalZone) {
  ScopedEnv tz("TZ", "IST-5:30");
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

enum ChildOutcome { kAskedTheSystem = 0, kNotAsked = 1, kRightKept = 2 };

// In a forked child: lose the right to set the time for certain, then try for real. The time
// asked for is the present one, so even a wrong verdict would move the clock by microseconds.
[[noreturn]] void TrySetWithoutTheRight() {
  const bool inNewUserNamespace = ::unshare(CLONE_NEWUSER) == 0;
  if (!inNewUserNamespace && !(DropSysTimeCapability() && !HoldsSysTimeCapability())) {
    ::_exit(kRightKept);
  }
  PosixClock clock;
  const ClockSetResult result = clock.SetLocal(clock.LocalNow());
  ::_exit(result == ClockSetResult::kAutoSyncOn ? kAskedTheSystem : kNotAsked);
}

TEST(PosixClock, AsksTheSystemBusWhenTheProcessMayNotSetTheTime) {
  FakeTimedated timedated({kAutoSyncError});
  ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", timedated.Address());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) TrySetWithoutTheRight();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kRightKept) GTEST_SKIP() << "cannot drop the right to set the time";
  EXPECT_EQ(WEXITSTATUS(status), kAskedTheSystem);
  EXPECT_EQ(timedated.TakeCalls().size(), 1u);
}

}  // namespace
}  // namespace horalign
