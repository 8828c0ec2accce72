#pragma once

// How the service's lines are weighed, so that the journal (or the event log) can be
// filtered: failures and refusals as warnings or errors, outcomes as information, the
// repeats and the transient steps as detail.
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "core/platform/pc_clock_sync.h"

namespace horalign {

enum class LogLevel { kDebug, kInfo, kWarning, kError };

// One line for the diagnostics channel, weighed.
using ServiceLog = std::function<void(LogLevel level, const std::string& line)>;

// A row's status text that says something went wrong.
bool IsFailureStatus(const std::string& status);

// Weighs each settled row's line: its first state and every change of it are information
// (a failure a warning); the same state again, and a port that is not in use showing
// "Disconnected from device.", are detail.
class RowWeigher {
 public:
  LogLevel Weigh(int port, const std::string& active, const std::string& device,
                 const std::string& sn, const std::string& status);

 private:
  std::array<std::string, 17> last_{};  // per port, its state as last weighed
};

// The PC clock's state as `inner` reads it; its first state and each change of it are one
// line, a warning when the clock is not synchronised.
class JournaledClockSync final : public PcClockSync {
 public:
  JournaledClockSync(PcClockSync& inner, ServiceLog log) : inner_(inner), log_(std::move(log)) {}
  PcClockSyncInfo Read() override;

 private:
  PcClockSync& inner_;
  ServiceLog log_;
  std::optional<ClockSyncState> last_;
};

// The mode as the window names it ("none" for no mode).
std::string ModeName(int mode);

}  // namespace horalign
