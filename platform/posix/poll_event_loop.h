#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "core/platform/event_loop.h"

namespace horalign {

// A real event loop without a window system, for the command line, the service and the
// benchmarks: timers on CLOCK_MONOTONIC, and a Yield that sleeps in ppoll until the next
// timer is due or a watched signal arrives. It keeps the timer rules of every loop: a
// handler is never re-entered by its own timer, enabling a timer (or changing its
// interval) starts its period afresh, and missed ticks coalesce into one. Run and RunForMs
// outside any Yield neither wake up for a timer that does not tick while idle nor call it.
class PollEventLoop : public EventLoop {
 public:
  PollEventLoop();
  ~PollEventLoop() override;
  PollEventLoop(const PollEventLoop&) = delete;
  PollEventLoop& operator=(const PollEventLoop&) = delete;

  void Yield() override;
  void ProcessPending() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                     std::function<void()> handler) override;
  std::int64_t MonotonicMs() override;

  // Brings the signals onto this loop's thread: their handler only writes the number into
  // a pipe, and Yield or ProcessPending calls `onSignal` with it. One loop at a time may
  // watch signals; they get their earlier action back when the loop is destroyed. False
  // when the pipe or a handler could not be set up (the signals keep their action then).
  bool WatchSignals(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal);

  // Calls `onReadable` from Yield or ProcessPending whenever `fd` has something to read,
  // until it answers false. The descriptor stays the caller's.
  void WatchFd(int fd, std::function<bool()> onReadable);
  // Ends every watch of `fd`: for a descriptor about to be closed, whose number may come back.
  void UnwatchFd(int fd);

  // One Yield that also wakes when `fd` is readable, calling no handler for it, and that
  // returns after `maxUs` at the latest: for a routine that waits for an answer on a
  // descriptor of its own. It may nest; every level's descriptor wakes the innermost.
  void YieldWatching(int fd, std::int64_t maxUs);

  // Yields until Stop() is called, or until nothing could ever wake the loop (no timer
  // enabled and no signal watched).
  void Run();
  void Stop() { stopped_ = true; }

  // Runs the loop until `ms` milliseconds have passed; inside a handler that waits this
  // way the loop counts as idle unless a Yield is in progress.
  void RunForMs(std::int64_t ms);

  struct TimerState;

 private:
  // Fires every enabled timer that is due; returns how many fired. `idle`: the loop's own
  // dispatch outside any Yield, where the ticks of timers that do not tick while idle pass
  // without their handler.
  int FireDue(bool idle = false);
  bool Idle() const { return yieldDepth_ == 0; }
  // One pass of the loop: Yield's work, with `idle` as in FireDue.
  void Dispatch(bool idle);
  // Calls the signal handler for every signal that arrived; returns how many.
  int DispatchSignals();
  // Microseconds until the earliest enabled timer is due, or -1 without one; when `idle`,
  // timers that do not tick while idle do not count.
  std::int64_t UntilNextUs(bool idle = false) const;
  bool CanWake(bool idle) const {
    return UntilNextUs(idle) >= 0 || (signalRead_ >= 0 && !dispatching_) || !fds_.empty() ||
           !wakeFds_.empty();
  }
  // Sleeps up to `us` (forever when negative) or until a watched signal arrives or a
  // watched descriptor is readable; then calls the handlers of the readable descriptors.
  // Returns how many it called, and how many of YieldWatching's descriptors were readable. After an
  // `idle` sleep the ticks that fell in it of timers that do not tick while idle have passed before
  // any handler runs.
  int Wait(std::int64_t us, bool idle = false);
  void PassIdleTicks();

  std::vector<std::weak_ptr<TimerState>> timers_;
  std::function<void(int)> onSignal_;
  std::vector<std::pair<int, std::function<bool()>>> fds_;
  std::vector<int> wakeFds_;  // YieldWatching's, innermost last
  bool servingFds_ = false;
  int signalRead_ = -1;
  bool dispatching_ = false;
  bool stopped_ = false;
  int yieldDepth_ = 0;
  std::vector<std::pair<int, struct sigaction>> savedActions_;
};

// CLOCK_MONOTONIC in microseconds.
std::int64_t MonotonicUs();

}  // namespace horalign
