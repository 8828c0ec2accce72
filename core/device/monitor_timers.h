#pragma once

#include <cstdint>
#include <memory>

#include "core/device/paging.h"
#include "core/platform/event_loop.h"

namespace horalign {

// The two timers that drive the device protocol, created together so that they keep one
// phase: tmrDelay (50 ms) advances the program-wide tick counter and goes on collecting a
// line that a poll began; tmrCheckCOMPort (500 ms) is the port monitor's poll.
//
// Only waits, which yield, and a line still being collected need the tick; so the tick
// does not run while the loop idles otherwise, and an idle program is woken by the poll
// alone where the loop allows it. The ticks a wait counts come as they always did.
class MonitorTimers {
 public:
  MonitorTimers(EventLoop& loop, QV_Paging& paging, std::int32_t& delayTicks);
  MonitorTimers(const MonitorTimers&) = delete;
  MonitorTimers& operator=(const MonitorTimers&) = delete;

  // Both stop for good, the tick first.
  void Stop();

 private:
  void TickWhileIdleOnlyForALine();

  QV_Paging& paging_;
  std::unique_ptr<Timer> tmrDelay_;
  std::unique_ptr<Timer> tmrCheckCOMPort_;
};

}  // namespace horalign
