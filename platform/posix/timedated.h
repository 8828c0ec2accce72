#pragma once

#include <cstdint>

#include "core/platform/clock.h"

namespace horalign {

// Asks systemd-timedated on the system bus to step the system clock to `utcMicros`
// (microseconds since the epoch), the way a desktop user without the right to set the clock
// does it: polkit may ask an administrator first, so the call can block until they answer.
// DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus to use.
//
// kAutoSyncOn when timedated refuses because network time synchronization is on; kFailed
// when it refuses the time itself; kNoRight for everything else (no bus, no timedated, no
// consent from polkit), since the program then simply lacks the right.
ClockSetResult SetTimeThroughTimedated(std::int64_t utcMicros);

}  // namespace horalign
