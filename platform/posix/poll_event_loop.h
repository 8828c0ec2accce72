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
// interval) starts its period afresh, and missed ticks coalesce into one.
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

  // Yields until Stop() is called, or until nothing could ever wake the loop (no timer
  // enabled and no signal watched).
  void Run();
  void Stop() { stopped_ = true; }

  // Yields until `ms` milliseconds have passed.
  void RunForMs(std::int64_t ms);

  struct TimerState;

 private:
  // Fires every enabled timer that is due; returns how many fired.
  int FireDue();
  // Calls the signal handler for every signal that arrived; returns how many.
  int DispatchSignals();
  // Microseconds until the earliest enabled timer is due, or -1 without one.
  std::int64_t UntilNextUs() const;
  bool CanWake() const {
    return UntilNextUs() >= 0 || (signalRead_ >= 0 && !dispatching_) || !fds_.empty();
  }
  // Sleeps up to `us` (forever when negative) or until a watched signal arrives or a
  // watched descriptor is readable; then calls the handlers of the readable descriptors.
  // Returns how many it called.
  int Wait(std::int64_t us);

  std::vector<std::weak_ptr<TimerState>> timers_;
  std::function<void(int)> onSignal_;
  std::vector<std::pair<int, std::function<bool()>>> fds_;
  bool servingFds_ = false;
  int signalRead_ = -1;
  bool dispatching_ = false;
  bool stopped_ = false;
  std::vector<std::pair<int, struct sigaction>> savedActions_;
};

// CLOCK_MONOTONIC in microseconds.
std::int64_t MonotonicUs();

}  // namespace horalign
