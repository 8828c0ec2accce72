#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace horalign {

// A calendar date and time of day. weekday: 1 = Sunday ... 7 = Saturday.
struct CivilTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int micro = 0;
  int weekday = 5;

  int Millisecond() const { return micro / 1000; }
  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

enum class ClockSetResult {
  kOk,
  kNoRight,     // the process may not change the system time
  kAutoSyncOn,  // the system keeps its own time (network time sync) and will not take one
  kFailed,      // any other refusal (an invalid time, an OS error)
};

// Why the local time jumped: the zone's UTC offset changed (daylight saving time began or
// ended, or the zone was changed), someone stepped the clock, or the PC woke from sleep.
enum class TimeJumpCause { kOffsetChange, kStep, kResume };
struct TimeJump {
  TimeJumpCause cause = TimeJumpCause::kStep;
  std::int64_t stepMicros = 0;  // kStep: how far the wall clock moved (+ forwards)
};

// The PC's wall clock. It is settable and so is not the monotonic clock that drives
// timers and ticks.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual CivilTime UtcNow() = 0;
  virtual CivilTime LocalNow() = 0;

  // Sets the local date and time of day (micro is used as given; weekday is ignored).
  // A refusal is a value the caller reports, never a crash.
  virtual ClockSetResult SetLocal(const CivilTime& local) = 0;

  // Blocks the calling thread without running the event loop.
  virtual void SleepMicros(std::int64_t micros) = 0;

  // The platform reports jumps of the local time on the event loop's thread; the program's
  // own SetLocal is never reported as a step. One listener; an empty one stops the notices.
  void SetJumpListener(std::function<void(const TimeJump&)> listener) {
    jumpListener_ = std::move(listener);
  }
  void NoticeJump(const TimeJump& jump) const {
    if (jumpListener_) jumpListener_(jump);
  }

 private:
  std::function<void(const TimeJump&)> jumpListener_;
};

}  // namespace horalign
