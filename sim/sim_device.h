#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/clock.h"
#include "core/serial/line_settings.h"
#include "sim/sim_transmitter.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

// The model letter of a receiver that reports none: it answers everything with "?" CR.
inline constexpr char kNoLetter = '\0';

// How a simulated device behaves. Fields marked "at construction" are read once; the
// others are read at every use, so a test may change them through SimDevice::Config().
struct SimDeviceConfig {
  char letter = 'W';                       // model letter, or kNoLetter
  std::string serial = "00000";            // as printed; sent last character first
  std::string settings = "9600,N,8,1";     // the one speed and framing the device speaks
  std::string idTail = "00000000";         // after the letter: with it the line is 15 long
  double clockOffsetSeconds = 0;           // device clock minus true time (at construction)
  double driftPpm = 0;                     // positive: runs fast (at construction)
  std::optional<bool> keepsUtc{};          // unset: the UTC-set family keeps UTC, others local
  std::optional<int> eventEverySeconds{};  // receivers' time events; unset: 60, 0: none
  std::string partNumber = "0371462";      // starts each receiver time event
  std::string eventTail{};                 // characters after the event's check digit
  // Receivers' events leave as their clock reaches a whole period (the minute for 60) and
  // carry its seconds and a leap flag ("0": none) after the check digit.
  bool eventsOnTime = false;
  double eventsAfterSeconds = 0;      // no event sooner (at construction): lets it be identified
  std::int64_t replyDelayUs = 5'000;  // from the command's CR to the reply's first byte
  bool refuseLongPt = false;          // answers "PT" hhmmss with "?99"
  bool refusePd = false;              // answers "PD" with "?99"
  // Faults.
  bool silent = false;                      // hears and records, never answers
  bool missingCr = false;                   // replies lack their final CR
  std::string garbageBeforeReply{};         // sent ahead of every reply
  std::optional<std::string> fixedReply{};  // every command but a lone CR gets this + CR
  std::optional<std::string> timeReply{};   // "QT" gets this + CR; "": no answer to it
};

// A command line the device took: the text before its CR, at the CR's arrival.
struct DeviceCommand {
  std::int64_t atUs = 0;
  std::string line;
  friend bool operator==(const DeviceCommand&, const DeviceCommand&) = default;
};

// A line the device sent of its own: a reply to a command or a receiver's time event
// (never what a test made it send with SendRaw or Flood).
struct DeviceLine {
  std::int64_t causeUs = 0;  // the command's CR arrived, or the event fell due
  std::string command;       // the command answered; "" for an event
  std::string text;          // as sent, garbage and CR included
  std::int64_t endUs = 0;    // its last byte has left the device
};

// A setting of the device's clock by a command.
struct DeviceClockSet {
  std::int64_t atUs = 0;
  std::string command;
  CivilTime value;  // the device clock right after the set
};

// Model predicates of the letters, as the device knows itself.
bool LetterKeepsUtc(char letter);          // takes the "T" ... "U?W" command
bool LetterAnswersTimeQuery(char letter);  // answers "QT"
bool LetterIsReceiver(char letter);        // sends time events of its own

// One configurable device on a simulated line. It hears bytes one by one, takes a command
// at each CR (a LF is just a character), answers after its reply delay at its own speed,
// and keeps a clock of its own: the time it was last told (or true time plus the offset)
// advanced by virtual time and its drift. Whether that clock means UTC or local time is
// up to the commands that set it. "QT" is answered with hhmmss MMDDYY of that clock, the
// weekday digit (1 = Sunday), the digit sum mod 10 and CR. Receivers send time events
// every N seconds: part number, hour and minute of their clock plus 7 hours, check
// digit, CR.
class SimDevice {
 public:
  SimDevice(VirtualTime& time, VirtualClock& clock, SimDeviceConfig config);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  SimDeviceConfig& Config() { return config_; }
  const SimDeviceConfig& Config() const { return config_; }
  LineSettings Line() const;

  // The line side. The serial line sets the output (each byte as its stop bit ends) and
  // calls Hear for each byte that reaches the device; garbled bytes came at a speed or
  // framing other than the device's: they are counted and make it drop the partial line.
  void SetOutput(SimTransmitter::Deliver output) { output_ = std::move(output); }
  // Called from the destructor, so that the line forgets the device.
  void SetDestroyHook(std::function<void()> hook) { destroyHook_ = std::move(hook); }
  void Hear(std::uint8_t byte, bool garbled);

  // The device's clock.
  std::int64_t ClockEpochUs() const;
  CivilTime ClockNow() const;
  void SetClock(const CivilTime& value);  // as the maker would; not logged
  void Step(double deltaSeconds);         // positive: forwards

  // Faults driven by the test: a burst of bytes now, or a flood of the pattern at full
  // line speed for the duration.
  void SendRaw(std::string_view bytes);
  void Flood(std::int64_t durationUs, std::string_view pattern = "#~");
  // Applies a changed eventEverySeconds now: the next event is one period from now.
  void RestartEvents();

  const std::vector<DeviceCommand>& Commands() const { return commands_; }
  const std::vector<DeviceClockSet>& ClockSets() const { return clockSets_; }
  const std::vector<DeviceLine>& Sent() const { return sent_; }
  std::int64_t GarbageHeard() const { return garbageHeard_; }
  std::int64_t EventsSent() const { return eventsSent_; }

  // The identification line and time texts as this device would send them now, CR
  // included.
  std::string IdentificationLine() const;
  std::string TimeReply() const;
  std::string TimeEvent() const;

 private:
  std::string Answer(std::string_view command);  // the reply without its CR
  std::string SetTimeOfDay(std::string_view command, std::string_view digits);
  std::string SetDate(std::string_view command, std::string_view digits);
  std::string SetUtc(std::string_view command);
  void Logged(std::string_view command);
  std::int64_t Transmit(std::string_view bytes);  // returns when the last byte has left
  void Reply(const std::string& command, std::string text);
  void OnEvent();

  VirtualTime& time_;
  VirtualClock& clock_;
  SimDeviceConfig config_;
  SimTransmitter tx_;
  SimTransmitter::Deliver output_;
  std::function<void()> destroyHook_;
  std::string line_;
  std::int64_t anchorVirtualUs_ = 0;  // the clock read anchorDeviceUs_ at this time
  std::int64_t anchorDeviceUs_ = 0;
  double driftPpm_ = 0;
  std::vector<EventId> pendingReplies_;
  EventId nextEvent_;
  std::vector<DeviceCommand> commands_;
  std::vector<DeviceClockSet> clockSets_;
  std::vector<DeviceLine> sent_;
  std::int64_t garbageHeard_ = 0;
  std::int64_t eventsSent_ = 0;
};

}  // namespace horalign::sim
