#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace horalign {

// What an operation on a port was. A history line names it in words (see the history
// format), so the numbers here are never stored.
enum class HistoryAction {
  kConnect,
  kWrite,       // the PC time written on the schedule or by the user
  kPush,        // the PC time written because local time jumped (see cause)
  kRead,        // a device's time read back
  kSetPcClock,  // the PC clock set from a device
  kRefusal,     // the PC clock could not be set
};

// Why a push was made.
enum class PushCause { kNone, kOffsetChange, kClockStep, kResume };

// One operation on one port, as the history keeps it. Offsets are the device's time minus
// the PC's, in seconds, when a read-back measured them.
struct HistoryEntry {
  std::int64_t utcMs = 0;  // when the operation ended, UTC milliseconds since 1970
  int port = 0;
  std::string model;
  std::string serial;
  HistoryAction action = HistoryAction::kWrite;
  PushCause cause = PushCause::kNone;
  bool ok = false;
  std::string status;     // the row's status text, as shown
  int msPastSecond = -1;  // when the command started; -1 where there was no command
  std::optional<double> offsetBefore;
  std::optional<double> offsetAfter;
  std::optional<double> driftPerDay;  // seconds per day since the device's last write
  friend bool operator==(const HistoryEntry&, const HistoryEntry&) = default;
};

// Where the device routines report what they did. Reporting never fails for them: a sink
// that cannot keep an entry deals with that itself.
class HistorySink {
 public:
  virtual void Append(const HistoryEntry& entry) = 0;
  // Hands what was kept before to `visit`, oldest first; a sink that keeps nothing it can
  // read back hands nothing.
  virtual void ForEachKept(const std::function<void(const HistoryEntry&)>& visit) {
    static_cast<void>(visit);
  }

 protected:
  ~HistorySink() = default;
};

}  // namespace horalign
