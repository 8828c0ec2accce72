#pragma once

#include <cstdint>
#include <optional>

#include "core/device/paging.h"
#include "core/platform/clock.h"
#include "core/platform/event_loop.h"

namespace horalign {

// Why a read-back measured nothing.
enum class ReadBackFailure {
  kNone,
  kNoAnswer,      // no line came back in time
  kUnreadable,    // a line came back that is no time (wrong length, check digit or fields)
  kInconsistent,  // the answers cannot all be true at once: the device's clock jumped
};

struct ReadBack {
  std::optional<double> offsetSeconds;  // the device's clock minus the PC's
  ReadBackFailure failure = ReadBackFailure::kNone;
};

// The status an entry of the history gives a read-back (the row itself does not change).
const char* ReadBackText(ReadBackFailure failure);

// Measures how far a device's clock is from the PC's (UTC for a device that keeps UTC, local
// time for the others) through the time query "QT" on the port `paging` has open, finer
// than the whole seconds its answer carries. Never sets the PC clock; stops at the first
// query that fails. `dither` (any number, a different one each time) spreads where the
// measurement's steps fall; see the .cpp. The waits between the queries run `loop`.
ReadBack MeasureDeviceOffset(Clock& clock, EventLoop& loop, QV_Paging& paging,
                             const clsSerialCommAPI& port, bool utc, std::uint32_t dither);

}  // namespace horalign
