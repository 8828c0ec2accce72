#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "core/device/paging.h"
#include "core/platform/clock.h"
#include "core/platform/event_loop.h"
#include "core/platform/registry_store.h"
#include "core/serial/serial_comm.h"
#include "core/settings/app_config.h"
#include "core/ui/port_list.h"
#include "core/ui/views.h"

namespace horalign {

// What the main window's routines share: the program-wide objects they work on and the
// window fields they read and write. Owned by QV_MainForm.
struct FormContext {
  AppConfig& config;
  RegistryStore& registry;
  Clock& clock;
  EventLoop& loop;
  clsSerialCommAPI& serialPort;
  QV_Paging& paging;
  MainWindowView& view;
  PointerView& pointer;
  PortListModel& ports;

  // Window fields.
  std::int16_t MinuteCount = 0;
  bool UserBusy = false;

  bool MinuteTimerPaused() const { return minutePauses > 0; }

  // While a device is served the minute timer counts as off: it keeps running, so the
  // schedule keeps its whole minutes, but the ticks that fall due meanwhile are dropped,
  // the one that comes late after the pause too. (Switching the timer itself off and on
  // would start its period afresh each time.)
  int minutePauses = 0;
  std::int64_t minutePauseEndMs = std::numeric_limits<std::int64_t>::min();
};

}  // namespace horalign
