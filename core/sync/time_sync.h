#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/device/model_table.h"
#include "core/history/drift_tracker.h"
#include "core/sync/connection.h"
#include "core/sync/sync_host.h"

namespace horalign {

inline constexpr const char* kNoRightText = "Unable to set PC time - insufficient rights.";
inline constexpr const char* kAutoSyncOnText =
    "Unable to set PC time - automatic time synchronization is on.";
// A reading handed to the time daemon, and one it did not take.
inline constexpr const char* kFeedSentText = "Time sent to time daemon.";
inline constexpr const char* kFeedNotTakenText = "Time daemon did not take the time.";

// What a device's time text asks of the PC clock, decided without touching it.
struct ClockDecision {
  bool accepted = false;            // false: the text is rejected
  std::optional<CivilTime> target;  // the local time to set; unset: the clock agrees
};
// The time of day a "QT" reply carries, in seconds; nullopt when it is not one (wrong length,
// check digit or fields).
std::optional<int> QtReplySecondsOfDay(const std::string& text);
// A "QT" reply read against the PC's local time `now`.
ClockDecision DecideQtReply(const std::string& text, const CivilTime& now);
// A receiver time event read against the PC's local time `now`.
ClockDecision DecideReceiverEvent(const std::string& text, const CivilTime& now);

// Writing the PC time to devices, and setting the PC clock from a device.
class TimeSync {
 public:
  TimeSync(const SyncParts& parts, DeviceConnection& connection)
      : parts_(parts), host_(parts.host), connection_(connection) {}

  // Writes the PC's date and time to the device of a port row; true when it took them.
  // With `readBack`, a device that answers the time query is read just before and just
  // after the write (see WriteVerified); the outcome is the write's alone. A push names why
  // it is made; the history tells it from a write by it.
  bool WriteTime(std::int16_t port, bool readBack = false, PushCause cause = PushCause::kNone);
  // Returns just after the next second boundary (SleepToSecondStart) and restarts the clock
  // display so it ticks just after whole seconds; false when no boundary was reached.
  bool WaitForSecondStart();

  // Asks a time-readable device for its time and sets the PC clock from the answer; true
  // when the answer was accepted.
  bool ReadTime(std::int16_t comPortId);
  // Checks a "QT" reply or a receiver time event and sets the PC clock from it.
  bool ProcessTime(std::int16_t comPortId, const std::string& timeEventInfo);
  // Set while receiver events fall outside the interval's last two minutes.
  bool SkipTimeEvent() const { return skipTimeEvent_; }
  // Whether readings go to the time daemon instead of setting the PC clock.
  bool Feeding() const { return parts_.feed != nullptr && parts_.config.FeedTimeDaemon; }
  // Whether this program was given a time daemon to feed at all.
  bool FeedAvailable() const { return parts_.feed != nullptr; }
  // The samples the daemon took and those it did not, since the start.
  struct FeedCounts {
    std::uint64_t sent = 0, refused = 0;
  };
  const FeedCounts& FeedCounted() const { return feedCounts_; }

  // Where the read-backs are reported; none: they are not kept.
  void SetHistory(HistorySink* sink) { parts_.history = sink; }
  // Each device's drift, from the read-backs (seed it from the history at start).
  DriftTracker& Drift() { return drift_; }

 private:
  bool WaitForTimeCommandStart();
  bool SendWithTimeNow(const std::string& command,
                       const std::function<std::string(const CivilTime&)>& data);
  bool WriteUtcFamily(int row);
  bool WriteLocalFamily();
  bool WriteFamily(int row);
  bool WriteVerified(int row);
  void ReadBackAround(int row, const PortDevice& device, bool beforeWrite);
  enum class Outcome { kRejected, kAccepted, kNoRight, kAutoSyncOn };
  Outcome Settle(const ClockDecision& decision);
  Outcome Apply(const CivilTime& target);
  bool FeedTime(int row, ModelKind device, const std::string& text);

  SyncParts parts_;
  SyncHost& host_;
  DeviceConnection& connection_;
  bool skipTimeEvent_ = false;
  int timeCommandMs_ = -1;  // ms past the second of the last time command; -1: none sent
  DriftTracker drift_;
  std::uint32_t readBacks_ = 0;
  FeedCounts feedCounts_;
};

// Sleeps (never spins) until the UTC clock reads 1 to 99 ms past a whole second. False when
// the clock does not get there within a few seconds (it jumps, or the machine wakes the
// sleeper too late): a time command must then not be sent.
bool SleepToSecondStart(Clock& clock);

// Two-digit fields of device texts; -1 when a character is not a digit.
int TwoDigits(const std::string& text, std::size_t pos);
// Sum of the digit values of text[first, last] modulo 10; other characters count as 0.
int CheckDigitSum(const std::string& text, std::size_t first, std::size_t last);
// The four-digit year nearest `referenceYear` that ends in the two digits `yy`.
int NearestCentury(int yy, int referenceYear);
// The instant with the given local time of day that lies nearest `now`.
CivilTime NearestWithTimeOfDay(const CivilTime& now, int secondsOfDay);

}  // namespace horalign
