#pragma once

#include <time.h>

#include <cstdint>
#include <functional>

#include "core/platform/clock.h"

namespace horalign {

// Steps CLOCK_REALTIME to `when`. Returns 0 on success, else the errno value.
using SetRealtimeFn = std::function<int(const timespec& when)>;
// Asks the system to set the clock to `utcMicros` (microseconds since the epoch) on the
// program's behalf, for when the program may not set it itself.
using AskSystemFn = std::function<ClockSetResult(std::int64_t utcMicros)>;

// clock_settime on CLOCK_REALTIME.
int SetRealtimeDirectly(const timespec& when);

// The PC clock through POSIX: CLOCK_REALTIME read as UTC and through the local time zone
// (TZ honoured at every call), set through a seam so tests never step the machine's clock.
// When the process may not set the clock (EPERM, no CAP_SYS_TIME), it asks the system to do
// it, so a desktop user is asked for an administrator's consent instead of being refused.
//
// A local time that does not name exactly one instant is read with the UTC offset in force
// just before the zone's transition: in the spring-forward gap 02:30 becomes 03:30 summer time
// (as far past the gap as it was into it), and in the repeated fall-back hour 02:30 is its
// first occurrence, still summer time.
class PosixClock : public Clock {
 public:
  PosixClock();  // clock_settime, then systemd-timedated on the system bus
  // An empty `askSystem` leaves a refusal as it is.
  explicit PosixClock(SetRealtimeFn setRealtime, AskSystemFn askSystem = {});

  CivilTime UtcNow() override;
  CivilTime LocalNow() override;

  // kFailed without touching the clock for an invalid date, time or micro field; when the
  // process lacks the right to set the time (EPERM), whatever the system answers, else kNoRight.
  ClockSetResult SetLocal(const CivilTime& local) override;

  // Sleeps on the monotonic clock to an absolute deadline, so signals do not stretch it.
  void SleepMicros(std::int64_t micros) override;

 private:
  SetRealtimeFn setRealtime_;
  AskSystemFn askSystem_;
};

}  // namespace horalign
