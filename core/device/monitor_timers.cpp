#include "core/device/monitor_timers.h"

namespace horalign {

MonitorTimers::MonitorTimers(EventLoop& loop, QV_Paging& paging, std::int32_t& delayTicks)
    : paging_(paging) {
  tmrDelay_ = loop.CreateTimer(50, true, [this, &delayTicks] {
    AdvanceDelayTicks(delayTicks);
    paging_.ContinueCollecting();
    TickWhileIdleOnlyForALine();
  });
  tmrCheckCOMPort_ = loop.CreateTimer(500, true, [this] {
    paging_.PollSerialInput();
    TickWhileIdleOnlyForALine();
  });
}

void MonitorTimers::TickWhileIdleOnlyForALine() {
  tmrDelay_->SetTicksWhileIdle(paging_.Collecting());
}

void MonitorTimers::Stop() {
  tmrDelay_->SetEnabled(false);
  tmrCheckCOMPort_->SetEnabled(false);
}

}  // namespace horalign
