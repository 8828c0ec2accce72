#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace horalign::sim {

// 2026-05-12T14:05:09.123456Z for microseconds since 1970 (UTC).
std::string IsoUtcMicros(std::int64_t epochUs);

// A civil time from a device's clock, to the millisecond: 2026-05-12T14:05:09.123, with
// a Z when that clock keeps UTC.
std::string IsoMillis(std::int64_t epochUs, bool utc);

// Signed microseconds as milliseconds with three decimals: -1234.5 ms is "-1234.500".
std::string MillisText(std::int64_t us);

// The milliseconds past the whole second, three decimals: "12.345".
std::string MillisPastSecond(std::int64_t epochUs);

// Bytes as one log field: printable ASCII as it is, \r \n \t \\ and \xNN for the rest,
// so that a field never holds a tab or a line end.
std::string EscapeBytes(std::string_view bytes);

// The simulator's event log: one line per event, flushed at once so that a reader sees
// each event as it happens. Tests and benchmarks parse it; --help prints the same:
//   time <TAB> COMn|- <TAB> kind <TAB> fields...   (time: IsoUtcMicros of CLOCK_REALTIME)
//   PORT    path, model, serial, settings         a terminal opened (start, replug)
//   UNPLUG  path                                  the terminal closed
//   FRAME   first-byte time, its ms past the second, the line without CR
//   NOISE   byte count, the port's settings       bytes at another speed or framing
//   SEND    first-byte time, text with CR, ok|garbled
//   CLOCK   command, device clock (IsoMillis), offset from the PC clock in ms
//   STOP    signal name
class DevsimLog {
 public:
  explicit DevsimLog(std::FILE* out) : out_(out) {}

  // `com` 0 is the simulator itself ("-").
  void Write(std::int64_t epochUs, int com, std::string_view kind,
             std::initializer_list<std::string_view> fields);

 private:
  std::FILE* out_;
};

}  // namespace horalign::sim
