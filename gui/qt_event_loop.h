#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/platform/event_loop.h"

namespace horalign {

// The core's event loop on the Qt event dispatcher of the calling thread. Timers are precise
// QTimers (Qt's default coarse timers may drift by 5%), and Qt already coalesces missed
// ticks into one. Yield blocks in the dispatcher until something happens, so a waiting
// routine never spins a core; the program's own 50 ms tick bounds the wait.
class QtEventLoop : public EventLoop {
 public:
  void Yield() override;
  void ProcessPending() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                     std::function<void()> handler) override;
  std::int64_t MonotonicMs() override;

  // One Yield that also wakes when `fd` is readable (-1: none), and after `maxUs` at the
  // latest: for a routine that waits for an answer on a descriptor of its own while the
  // window goes on. Each descriptor is watched by one level only when calls nest.
  void YieldWatching(int fd, std::int64_t maxUs);
};

}  // namespace horalign
