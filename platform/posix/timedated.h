#pragma once

#include <cstdint>
#include <functional>

#include "core/platform/clock.h"

namespace horalign {

// Runs the face's event loop once and returns: at the latest when `fd` is readable (-1: no
// descriptor to watch) or when `maxUs` microseconds have passed, and sooner when anything
// else happened. It is entered again from inside itself when a handler asks meanwhile.
using BusWaitFn = std::function<void(int fd, std::int64_t maxUs)>;

// Asks systemd-timedated on the system bus to step the system clock, the way a desktop user
// without the right to set the clock does it: polkit may ask an administrator first, and
// timedated waits up to 25 s for their answer. With a wait function the program goes on
// meanwhile (the window repaints, every timer fires) and SetTime returns when the answer is
// in; without one the call blocks, as a one-shot command wants it. The answer is awaited
// 30 s at most, on the monotonic clock. DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus.
//
// Since the loop runs, a handler can ask again while a question is open: that request waits
// (running the loop) for the open one's answer, then asks in turn. One question at a time
// keeps an administrator from facing two.
class Timedated {
 public:
  explicit Timedated(BusWaitFn wait = {});
  Timedated(const Timedated&) = delete;
  Timedated& operator=(const Timedated&) = delete;

  void SetWait(BusWaitFn wait);

  // Steps the clock to `utcMicros` (microseconds since the epoch). kAutoSyncOn when timedated
  // refuses because network time synchronization is on; kFailed when it refuses the time
  // itself; kNoRight for everything else (no bus, no timedated, no consent from polkit, no
  // answer in time, the connection lost meanwhile), since the program then lacks the right.
  ClockSetResult SetTime(std::int64_t utcMicros);

  struct Call;

 private:
  // Reads what the call's bus has sent, then waits once for more unless its answer is in.
  // `watchFd` false: a request waiting for another's answer, whose own wait, further down
  // the stack, already watches that descriptor.
  void Await(Call& call, bool watchFd);

  BusWaitFn wait_;
  Call* open_ = nullptr;  // the latest question; it lives in the frame that asked it
};

// One blocking question, for callers without an event loop.
ClockSetResult SetTimeThroughTimedated(std::int64_t utcMicros);

}  // namespace horalign
