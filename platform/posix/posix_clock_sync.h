#pragma once

#include "core/platform/pc_clock_sync.h"

namespace horalign {

// The kernel's view of its clock (adjtimex with no mode bits: a read, never a change). The
// time daemon that disciplines the clock keeps the unsynchronised flag and the error figures
// there.
class PosixClockSync final : public PcClockSync {
 public:
  PcClockSyncInfo Read() override;
};

// The state from what adjtimex returned and the fields it filled; split off so each case
// can be checked without a clock in that state.
PcClockSyncInfo ClockSyncFromTimex(int result, int status, long maxErrorMicros,
                                   long estErrorMicros);

}  // namespace horalign
