#pragma once

#include "control/protocol.h"

namespace horalign {

// What horalign-cli returns, for its commands and for the service it runs; documented in
// its usage text and manual page.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,    // a device did not answer, or did not take the time
  kExitUsage = 2,     // the command line is wrong
  kExitPort = 3,      // a port could not be opened (missing, no permission, in use)
  kExitSettings = 4,  // the settings file could not be written
  kExitRunning = 5,   // run: another Horalign holds the instance slot
  kExitClock = 6,     // read --set-pc: the PC clock could not be set
  kExitRefused = 7,   // the service refused: polkit did not allow the caller
  kExitHeld = 8,      // update: the PC clock is not synchronised (--force writes anyway)
};

// The exit code for a request the service did not do.
inline ExitCode ExitCodeOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kAccessDenied:
      return kExitRefused;
    case ErrorKind::kInvalidArgs:
      return kExitUsage;
    case ErrorKind::kSettings:
      return kExitSettings;
    case ErrorKind::kHeld:
      return kExitHeld;
    default:
      return kExitFailed;
  }
}

}  // namespace horalign
