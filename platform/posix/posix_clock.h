#pragma once

#include <time.h>

#include <cstdint>
#include <functional>
#include <utility>

#include "core/platform/clock.h"
#include "platform/posix/timedated.h"

namespace horalign {

// Steps CLOCK_REALTIME to `when`. Returns 0 on success, else the errno value.
using SetRealtimeFn = std::function<int(const timespec& when)>;
// Asks the system to set the clock to `utcMicros` (microseconds since the epoch) on the
// program's behalf, for when the program may not set it itself.
using AskSystemFn = std::function<ClockSetResult(std::int64_t utcMicros)>;
// Reads a clock (CLOCK_REALTIME, or the one the wall clock is measured against) in
// microseconds.
using ReadClockFn = std::function<std::int64_t(clockid_t clock)>;

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
  // An empty `askSystem` leaves a refusal as it is; an empty `readClock` reads the system's
  // clocks for the jump checks.
  explicit PosixClock(SetRealtimeFn setRealtime, AskSystemFn askSystem = {},
                      ReadClockFn readClock = {});
  PosixClock(const PosixClock&) = delete;
  PosixClock& operator=(const PosixClock&) = delete;

  // The face's event loop, run while timedated is asked (see Timedated); without it the
  // question blocks the thread.
  void SetSystemWait(BusWaitFn wait) { timedated_.SetWait(std::move(wait)); }

  CivilTime UtcNow() override;
  CivilTime LocalNow() override;

  // kFailed without touching the clock for an invalid date, time or micro field; when the
  // process lacks the right to set the time (EPERM), whatever the system answers, else kNoRight.
  // Asking the system may run the event loop, and SetLocal be called again from inside it.
  ClockSetResult SetLocal(const CivilTime& local) override;

  // Sleeps on the monotonic clock to an absolute deadline, so signals do not stretch it.
  void SleepMicros(std::int64_t micros) override;
  // While a sleep lasts (a write waits for the start of a second), `serve` runs whenever
  // `fd` is readable, until shortly before the deadline, so that the service's readers are
  // answered meanwhile; the sleep still ends at its deadline. -1 serves nothing.
  void ServeDuringSleeps(int fd, std::function<void()> serve) {
    serveFd_ = fd;
    serve_ = std::move(serve);
  }

  // Arms a timerfd on CLOCK_REALTIME that becomes readable when anyone sets the clock
  // (TFD_TIMER_CANCEL_ON_SET) and at every whole minute, and returns it; -1 when none could
  // be made. The caller's event loop calls CheckJumps whenever it is readable.
  int WatchJumps();
  // Reports a step of the wall clock against the reference clock since the last look (the
  // program's own SetLocal excepted) and a change of the local UTC offset, which no step
  // accompanies (daylight saving time, new zone data); then re-arms the timer. While the
  // system is being asked no step is reported: the one it makes is the program's own.
  void CheckJumps();
  // The same with the wall clock's lead over the reference clock given, for tests.
  void CheckJumps(std::int64_t wallAheadUs);
  // CLOCK_REALTIME minus the reference clock in microseconds: it changes only when the wall
  // clock is set, since slewing moves both clocks alike.
  std::int64_t WallAheadUs() const;
  ~PosixClock() override;

 private:
  Timedated timedated_;
  int serveFd_ = -1;
  std::function<void()> serve_;
  SetRealtimeFn setRealtime_;
  AskSystemFn askSystem_;
  ReadClockFn readClock_;
  int askingSystem_ = 0;  // questions open; they nest when SetLocal is re-entered
  int jumpFd_ = -1;
  std::int64_t wallAheadUs_ = 0;  // WallAheadUs() at the last look
  std::int64_t offsetSeconds_ = 0;
};

}  // namespace horalign
