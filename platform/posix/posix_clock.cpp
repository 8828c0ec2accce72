#include "platform/posix/posix_clock.h"

#include <poll.h>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "core/util/civil.h"
#include "platform/posix/timedated.h"

namespace horalign {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

timespec ReadRealtime() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

CivilTime CivilFromTm(const tm& fields) {
  CivilTime c;
  c.year = fields.tm_year + 1900;
  c.month = fields.tm_mon + 1;
  c.day = fields.tm_mday;
  c.hour = fields.tm_hour;
  c.minute = fields.tm_min;
  c.second = fields.tm_sec;
  c.weekday = fields.tm_wday + 1;
  return c;
}

std::optional<CivilTime> LocalFields(time_t instant) {
  tm fields{};
  if (::localtime_r(&instant, &fields) == nullptr) return std::nullopt;
  return CivilFromTm(fields);
}

// Seconds east of UTC that the local zone applies at `instant`.
std::optional<std::int64_t> OffsetAt(std::int64_t instant) {
  const auto local = LocalFields(static_cast<time_t>(instant));
  if (!local) return std::nullopt;
  return ToEpochMicros(*local) / kMicrosPerSecond - instant;
}

// The instant (seconds since the epoch) of a local wall time, given as seconds since the
// epoch as if it were UTC. The offsets a day either side bracket any transition near it;
// when both fit, or neither does, the earlier offset wins (see the class comment).
std::optional<std::int64_t> InstantOfLocal(std::int64_t wall) {
  const auto before = OffsetAt(wall - kSecondsPerDay);
  const auto after = OffsetAt(wall + kSecondsPerDay);
  if (!before || !after) return std::nullopt;
  const auto fits = [wall](std::int64_t offset) {
    const auto actual = OffsetAt(wall - offset);
    return actual && *actual == offset;
  };
  if (fits(*before)) return wall - *before;
  if (fits(*after)) return wall - *after;
  return wall - *before;
}

std::int64_t MicrosOf(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * kMicrosPerSecond + t.tv_nsec / 1000;
}

std::int64_t OffsetNow() {
  ::tzset();
  return OffsetAt(ReadRealtime().tv_sec).value_or(0);
}

// The wall clock is measured against CLOCK_BOOTTIME, which counts a suspend as the wall
// clock does; CLOCK_MONOTONIC stops meanwhile, so a sleep would look like a step.
constexpr clockid_t kReferenceClock = CLOCK_BOOTTIME;

// Zones change their offset at whole minutes; a look just after each one sees it at once.
constexpr long kLookPastMinuteNanos = 20'000'000;

bool IsValidCivil(const CivilTime& t) {
  return IsValidDate(t.year, t.month, t.day) && IsValidTimeOfDay(t.hour, t.minute, t.second) &&
         t.micro >= 0 && t.micro < kMicrosPerSecond;
}

}  // namespace

int SetRealtimeDirectly(const timespec& when) {
  return ::clock_settime(CLOCK_REALTIME, &when) == 0 ? 0 : errno;
}

PosixClock::PosixClock()
    : PosixClock(SetRealtimeDirectly,
                 [this](std::int64_t utcMicros) { return timedated_.SetTime(utcMicros); }) {}

PosixClock::PosixClock(SetRealtimeFn setRealtime, AskSystemFn askSystem, ReadClockFn readClock)
    : setRealtime_(std::move(setRealtime)),
      askSystem_(std::move(askSystem)),
      readClock_(std::move(readClock)) {
  if (!readClock_) {
    readClock_ = [](clockid_t clock) {
      timespec now{};
      ::clock_gettime(clock, &now);
      return MicrosOf(now);
    };
  }
}

CivilTime PosixClock::UtcNow() {
  const timespec now = ReadRealtime();
  return FromEpochMicros(static_cast<std::int64_t>(now.tv_sec) * kMicrosPerSecond +
                         now.tv_nsec / 1000);
}

CivilTime PosixClock::LocalNow() {
  ::tzset();  // pick up a TZ changed since the last call
  const timespec now = ReadRealtime();
  CivilTime local;
  if (const auto fields = LocalFields(now.tv_sec)) {
    local = *fields;
  } else {
    // A zone that cannot convert the present instant: UTC is the least wrong answer.
    local = FromEpochMicros(static_cast<std::int64_t>(now.tv_sec) * kMicrosPerSecond);
  }
  local.micro = static_cast<int>(now.tv_nsec / 1000);
  return local;
}

ClockSetResult PosixClock::SetLocal(const CivilTime& local) {
  if (!IsValidCivil(local)) return ClockSetResult::kFailed;
  ::tzset();
  CivilTime whole = local;
  whole.micro = 0;
  const auto instant = InstantOfLocal(ToEpochMicros(whole) / kMicrosPerSecond);
  if (!instant) return ClockSetResult::kFailed;
  timespec when{};
  when.tv_sec = static_cast<time_t>(*instant);
  when.tv_nsec = static_cast<long>(local.micro) * 1000;
  const int error = setRealtime_(when);
  ClockSetResult result = ClockSetResult::kFailed;
  if (error == 0) {
    result = ClockSetResult::kOk;
  } else if (error == EPERM && askSystem_) {
    ++askingSystem_;
    result = askSystem_(*instant * kMicrosPerSecond + local.micro);
    --askingSystem_;
  } else if (error == EPERM) {
    result = ClockSetResult::kNoRight;
  }
  // The program's own step is no jump to report.
  if (result == ClockSetResult::kOk) wallAheadUs_ = WallAheadUs();
  return result;
}

std::int64_t PosixClock::WallAheadUs() const {
  const std::int64_t wall = readClock_(CLOCK_REALTIME);
  return wall - readClock_(kReferenceClock);
}

PosixClock::~PosixClock() {
  if (jumpFd_ >= 0) ::close(jumpFd_);
}

int PosixClock::WatchJumps() {
  if (jumpFd_ < 0) {
    jumpFd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (jumpFd_ < 0) return -1;
  }
  wallAheadUs_ = WallAheadUs();
  offsetSeconds_ = OffsetNow();
  CheckJumps(wallAheadUs_);
  return jumpFd_;
}

void PosixClock::CheckJumps() {
  CheckJumps(WallAheadUs());
}

void PosixClock::CheckJumps(std::int64_t wallAheadUs) {
  if (jumpFd_ >= 0) {
    std::uint64_t expirations = 0;
    // ECANCELED after a clock set, EAGAIN when nothing is due: either way it is re-armed.
    [[maybe_unused]] const ssize_t n = ::read(jumpFd_, &expirations, sizeof expirations);
    itimerspec next{};
    next.it_value.tv_sec = (ReadRealtime().tv_sec / 60 + 1) * 60;
    next.it_value.tv_nsec = kLookPastMinuteNanos;
    ::timerfd_settime(jumpFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &next, nullptr);
  }
  const std::int64_t offset = OffsetNow();
  const bool offsetChanged = offset != std::exchange(offsetSeconds_, offset);
  // The step is measured against the look before the question once it is answered.
  const std::int64_t step =
      askingSystem_ > 0 ? 0 : wallAheadUs - std::exchange(wallAheadUs_, wallAheadUs);
  // Reading the two clocks apart leaves a few microseconds of noise.
  if (std::llabs(step) >= 1000) NoticeJump({TimeJumpCause::kStep, step});
  if (offsetChanged) NoticeJump({TimeJumpCause::kOffsetChange});
}

void PosixClock::SleepMicros(std::int64_t micros) {
  if (micros <= 0) return;
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const std::int64_t nanos = deadline.tv_nsec + (micros % kMicrosPerSecond) * 1000;
  deadline.tv_sec += static_cast<time_t>(micros / kMicrosPerSecond + nanos / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
  // Serving stops this long before the deadline, so that an answer being sent cannot make
  // the wake-up late.
  constexpr std::int64_t kServeMarginNs = 2'000'000;
  const std::int64_t endNs = deadline.tv_sec * std::int64_t{1'000'000'000} + deadline.tv_nsec;
  while (serveFd_ >= 0 && serve_) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t leftNs =
        endNs - (now.tv_sec * std::int64_t{1'000'000'000} + now.tv_nsec) - kServeMarginNs;
    if (leftNs <= 0) break;
    pollfd watched{serveFd_, POLLIN, 0};
    const timespec wait{static_cast<time_t>(leftNs / 1'000'000'000),
                        static_cast<long>(leftNs % 1'000'000'000)};
    if (::ppoll(&watched, 1, &wait, nullptr) <= 0 || (watched.revents & POLLIN) == 0) break;
    serve_();
  }
  // An absolute deadline makes a restart after a signal wait only for what is left.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace horalign
