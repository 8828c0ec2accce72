#pragma once

#include "core/platform/pc_clock_sync.h"
#include "core/platform/registry_store.h"

namespace horalign {

// The Windows time service's state as its settings tell it: a service that is disabled or
// set to no synchronisation leaves the clock unsynchronised; otherwise whether its last sync
// succeeded is not kept where it can be read, so the state is unknown, with the servers it
// asks as the source. `store` is HKEY_LOCAL_MACHINE's 64-bit view.
PcClockSyncInfo ClockSyncFromW32Time(RegistryStore& store);

class Win32ClockSync final : public PcClockSync {
 public:
  PcClockSyncInfo Read() override;
};

}  // namespace horalign
