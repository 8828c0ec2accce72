#pragma once

#include <time.h>

#include <cstdint>
#include <functional>

#include "core/platform/clock.h"

namespace horalign {

// Steps CLOCK_REALTIME to `when`. Returns 0 on success, else the errno value.
using SetRealtimeFn = std::function<int(const timespec& when)>;

// The PC clock through POSIX: CLOCK_REALTIME read as UTC and through the local time zone
// (TZ honoured at every call), set through a seam so tests never step the machine's clock.
//
// A local time that does not name exactly one instant is read with the UTC offset in force
// just before the zone's transition: in the spring-forward gap 02:30 becomes 03:30 summer time
// (as far past the gap as it was into it), and in the repeated fall-back hour 02:30 is its
// first occurrence, still summer time.
class PosixClock : public Clock {
 public:
  PosixClock();  // sets the real clock with clock_settime
  explicit PosixClock(SetRealtimeFn setRealtime);

  CivilTime UtcNow() override;
  CivilTime LocalNow() override;

  // kFailed without touching the clock for an invalid date, time or micro field;
  // kNoRight when the process lacks the right to set the time (EPERM).
  ClockSetResult SetLocal(const CivilTime& local) override;

  // Sleeps on the monotonic clock to an absolute deadline, so signals do not stretch it.
  void SleepMicros(std::int64_t micros) override;

 private:
  SetRealtimeFn setRealtime_;
};

}  // namespace horalign
