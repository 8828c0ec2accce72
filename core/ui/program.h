#pragma once

#include <cstdint>

#include "core/device/paging.h"
#include "core/history/history_entry.h"
#include "core/platform/clock.h"
#include "core/platform/event_loop.h"
#include "core/platform/instance.h"
#include "core/platform/pc_clock_sync.h"
#include "core/platform/registry_store.h"
#include "core/platform/serial_backend.h"
#include "core/platform/service_link.h"
#include "core/platform/time_daemon_feed.h"
#include "core/serial/serial_comm.h"
#include "core/settings/app_config.h"
#include "core/ui/message.h"
#include "core/ui/views.h"

namespace horalign {

// What a platform and a face hand to the program.
struct Platform {
  RegistryStore& registry;
  SerialBackend& serial;
  Clock& clock;
  EventLoop& loop;
  InstanceGuard& instance;
  MainWindowView& view;
  PointerView& pointer;
  MessageDialogView& messageView;
  LoadingView& loadingView;
  HistorySink* history = nullptr;  // where operations are kept; none: nowhere
  // The service that owns the ports, when one runs: the window is then its client and opens
  // no port itself.
  ServiceLink* service = nullptr;
  // Where the PC clock's sync state is read; none: it is unknown.
  PcClockSync* clockSync = nullptr;
  // The time daemon's reference-clock socket where the platform has one; none: mode 2 steps
  // the PC clock whatever "Feed Time Daemon" says.
  TimeDaemonFeed* feed = nullptr;
};

// The program-wide objects, each named once: the platform's, and those the program builds on
// them (owned by the application object, or by a command-line core). Built once and handed
// down by reference.
struct ProgramParts : Platform {
  AppConfig& config;
  std::int32_t& delayTicks;
  clsSerialCommAPI& serialPort;
  QV_Paging& paging;
  QV_SYS_Message& messages;
  QV_SYS_LoadingMessage& loading;
};

}  // namespace horalign
