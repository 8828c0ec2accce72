#pragma once

#include <optional>
#include <string>

namespace horalign {

// Whether the PC's clock is itself kept right, as the system that keeps it says.
enum class ClockSyncState { kUnknown, kSynchronized, kUnsynchronized };

struct PcClockSyncInfo {
  ClockSyncState state = ClockSyncState::kUnknown;
  // The bound the system gives the clock's error, and its estimate of it; nullopt where it
  // gives none.
  std::optional<double> maxErrorSeconds;
  std::optional<double> estErrorSeconds;
  // Where the time came from, when the system names it ("" when it does not).
  std::string source;
  friend bool operator==(const PcClockSyncInfo&, const PcClockSyncInfo&) = default;
};

// The PC clock's sync state, read where the system keeps it; read-only, it never changes the
// clock. Read is called at each update cycle and about once a minute on the event loop's
// thread; a state that cannot be read is kUnknown, never an error.
class PcClockSync {
 public:
  virtual ~PcClockSync() = default;
  virtual PcClockSyncInfo Read() = 0;
};

}  // namespace horalign
