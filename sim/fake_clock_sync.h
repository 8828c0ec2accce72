#pragma once

#include "core/platform/pc_clock_sync.h"

namespace horalign::sim {

// The PC clock's sync state as a test sets it; counts the reads.
struct FakeClockSync final : PcClockSync {
  PcClockSyncInfo info;
  int reads = 0;
  PcClockSyncInfo Read() override {
    ++reads;
    return info;
  }
  void Set(ClockSyncState state, std::optional<double> maxError = std::nullopt) {
    info.state = state;
    info.maxErrorSeconds = maxError;
  }
};

}  // namespace horalign::sim
