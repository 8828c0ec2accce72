#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/device/paging.h"
#include "core/platform/time_daemon_feed.h"
#include "core/serial/line_settings.h"

namespace horalign {

// A time source's reading: the local time of day it names, and the leap second it announces
// (as TimeDaemonSample::leap).
struct SourceReading {
  int secondsOfDay = 0;
  int leap = 0;
  friend bool operator==(const SourceReading&, const SourceReading&) = default;
};

// Microseconds one character takes on the line: start bit, data bits, parity, stop bits.
std::int64_t CharacterMicros(const LineSettings& line);

// When a line's first byte began to arrive, on the PC's UTC clock: the read of the chunk
// that held it, less the time the chunk's bytes from that one on took on the line. This
// assumes the chunk's last byte had only just arrived when it was read, as it has when the
// port is read as bytes come in; a chunk that lay waiting dates its line late by as long.
std::int64_t FirstByteUtcMicros(const LineArrival& arrival, const LineSettings& line);

// A receiver time event as a reading: the part number and check digit as DecideReceiverEvent
// checks them, the hour and minute 7 hours back. The receiver sends it as the minute it
// names begins, or, for the part numbers that set hh:mm:59, as that minute ends. One that
// tells more follows the check digit with two digits of seconds (00 to 60) and a leap flag:
// "+" a second inserted at the end of the month, "-" one deleted, anything else none.
std::optional<SourceReading> ReadReceiverEvent(const std::string& text);

// The sample a reading makes: the instant it names lies `latencyMicros` (the device's delay
// before its first byte leaves) before the first byte's arrival; its time of day is taken
// on the local date nearest that instant. `localShiftMicros`: local time minus UTC.
TimeDaemonSample MakeSample(const SourceReading& reading, std::int64_t firstByteUtcMicros,
                            std::int64_t localShiftMicros, std::int64_t latencyMicros);

}  // namespace horalign
