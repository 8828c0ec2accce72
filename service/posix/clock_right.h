#pragma once

namespace horalign {

// The right to set the PC clock (Linux: CAP_SYS_TIME), which the service's unit grants
// and which only "Synchronize PC Time to Device Time" uses.

// True when the process may set the clock now.
bool HoldsClockRight();

// Gives the right up for good: out of the effective, permitted, inheritable and ambient
// sets, and out of the bounding set where the process may change it. True when the
// process no longer holds it.
bool DropClockRight();

}  // namespace horalign
