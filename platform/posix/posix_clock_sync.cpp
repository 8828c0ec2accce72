#include "platform/posix/posix_clock_sync.h"

#include <sys/timex.h>

namespace horalign {

PcClockSyncInfo ClockSyncFromTimex(int result, int status, long maxErrorMicros,
                                   long estErrorMicros) {
  PcClockSyncInfo info;
  if (result < 0) return info;  // the call failed: nothing is known
  info.state = result == TIME_ERROR || (status & STA_UNSYNC) != 0 ? ClockSyncState::kUnsynchronized
                                                                  : ClockSyncState::kSynchronized;
  info.maxErrorSeconds = static_cast<double>(maxErrorMicros) / 1e6;
  info.estErrorSeconds = static_cast<double>(estErrorMicros) / 1e6;
  info.source = "kernel";
  return info;
}

PcClockSyncInfo PosixClockSync::Read() {
  timex tx{};
  tx.modes = 0;  // read only
  const int result = ::adjtimex(&tx);
  return ClockSyncFromTimex(result, tx.status, tx.maxerror, tx.esterror);
}

}  // namespace horalign
