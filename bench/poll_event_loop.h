#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/platform/event_loop.h"

namespace horalign::bench {

// A minimal real event loop for benchmarks that run the core without a window system:
// timers on CLOCK_MONOTONIC, and a Yield that sleeps until the next one is due. It keeps
// the three timer rules of every loop (no re-entry, a fresh period on enabling, missed
// ticks coalesced) so the core waits as it does under the Qt loop.
class PollEventLoop : public EventLoop {
 public:
  PollEventLoop();
  ~PollEventLoop() override;

  void Yield() override;
  void ProcessPending() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                     std::function<void()> handler) override;

  // Yields until `ms` milliseconds have passed.
  void RunForMs(std::int64_t ms);

  struct TimerState;

 private:
  // Fires every enabled timer that is due; returns how many fired.
  int FireDue();
  // Microseconds until the earliest enabled timer is due, or -1 without one.
  std::int64_t UntilNextUs() const;

  std::vector<std::weak_ptr<TimerState>> timers_;
};

// CLOCK_MONOTONIC in microseconds.
std::int64_t MonotonicUs();

}  // namespace horalign::bench
