#pragma once

#include <string>

#include "core/platform/pc_clock_sync.h"
#include "core/settings/app_config.h"

namespace horalign {

// Why a write of the PC time waits: copying a clock that is itself wrong would spread the
// error to every device.
enum class HoldReason { kNone, kUnsynchronized, kErrorOverBound, kStateUnknown };

// The reason the PC clock's state gives under `config`; kNone when the hold is off.
HoldReason HoldReasonOf(const AppConfig& config, const PcClockSyncInfo& info);
// A held row's status, one text a reason ("" for kNone).
const char* HoldText(HoldReason reason);
// The question Update Now asks before writing a clock that is held.
std::string HoldQuestion(HoldReason reason);
// The reason a status text gives (a refusal the service gave for a hold); kNone for any other.
HoldReason HoldOfText(const std::string& text);

// "synchronized", "unsynchronized" or "unknown", as the command line and the journal name it.
const char* ClockStateName(ClockSyncState state);
// The state as a window shows it: "PC clock: synchronized (max. error 0.012 s)"; "" while it
// is unknown, so a system that cannot tell shows what it showed before.
std::string PcClockText(const PcClockSyncInfo& info);

// The PC clock's state as last read, for the decisions between reads.
class PcClockWatch {
 public:
  // `source` may be null: the state is then unknown for good.
  explicit PcClockWatch(PcClockSync* source) : source_(source) {}

  const PcClockSyncInfo& Poll() { return last_ = source_ ? source_->Read() : PcClockSyncInfo{}; }
  const PcClockSyncInfo& Last() const { return last_; }

 private:
  PcClockSync* source_;
  PcClockSyncInfo last_;
};

}  // namespace horalign
