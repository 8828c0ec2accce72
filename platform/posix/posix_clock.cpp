#include "platform/posix/posix_clock.h"

#include <cerrno>
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

bool IsValidCivil(const CivilTime& t) {
  return IsValidDate(t.year, t.month, t.day) && IsValidTimeOfDay(t.hour, t.minute, t.second) &&
         t.micro >= 0 && t.micro < kMicrosPerSecond;
}

}  // namespace

int SetRealtimeDirectly(const timespec& when) {
  return ::clock_settime(CLOCK_REALTIME, &when) == 0 ? 0 : errno;
}

PosixClock::PosixClock() : PosixClock(SetRealtimeDirectly, SetTimeThroughTimedated) {}

PosixClock::PosixClock(SetRealtimeFn setRealtime, AskSystemFn askSystem)
    : setRealtime_(std::move(setRealtime)), askSystem_(std::move(askSystem)) {}

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
  if (error == 0) return ClockSetResult::kOk;
  if (error != EPERM) return ClockSetResult::kFailed;
  if (!askSystem_) return ClockSetResult::kNoRight;
  return askSystem_(*instant * kMicrosPerSecond + local.micro);
}

void PosixClock::SleepMicros(std::int64_t micros) {
  if (micros <= 0) return;
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const std::int64_t nanos = deadline.tv_nsec + (micros % kMicrosPerSecond) * 1000;
  deadline.tv_sec += static_cast<time_t>(micros / kMicrosPerSecond + nanos / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
  // An absolute deadline makes a restart after a signal wait only for what is left.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace horalign
