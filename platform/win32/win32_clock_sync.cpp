#include "platform/win32/win32_clock_sync.h"

#include "platform/win32/win32_registry.h"

namespace horalign {

PcClockSyncInfo Win32ClockSync::Read() {
  // The time service's key is not redirected: the 64-bit view is the real one.
  Win32RegistryStore machine(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
  return ClockSyncFromW32Time(machine);
}

}  // namespace horalign
