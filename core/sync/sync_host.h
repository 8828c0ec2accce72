#pragma once

#include <string>

#include "core/device/model_table.h"
#include "core/device/paging.h"
#include "core/history/history_entry.h"
#include "core/platform/clock.h"
#include "core/platform/time_daemon_feed.h"
#include "core/serial/serial_comm.h"
#include "core/settings/app_config.h"

namespace horalign {

// Whether a port takes part in the updates, as its row shows it.
enum class PortActive { kYes, kNo, kUnavailable };

// What a port's row knows of its device.
struct PortDevice {
  bool detected = false;
  std::string settings;
  std::string model;
  std::string serial;
  ModelKind kind = ModelKind::kUnknown;
};

// The window that runs the device routines, as they see it: they read a port's device,
// report outcomes per port (rows are port numbers) and hold the busy pointer and the minute
// schedule while they work. Which buttons follow from an outcome is the window's business.
class SyncHost {
 public:
  virtual PortDevice Port(int port) const = 0;
  // A connection's outcome: the port's active state and its device.
  virtual void ShowPort(int port, PortActive active, const PortDevice& device) = 0;
  // A receiver named by its first accepted event.
  virtual void SetDeviceModel(int port, const std::string& model, ModelKind kind) = 0;
  virtual void SetStatus(int port, const std::string& text) = 0;
  // Stamps the port's status with the local time now.
  virtual void StampStatusTime(int port) = 0;
  // The hourglass on, and the arrow back. No nesting count: one BusyPointerOff ends any
  // number of BusyPointerOn.
  virtual void BusyPointerOn() = 0;
  virtual void BusyPointerOff() = 0;
  // Pauses nest; the schedule resumes when the last one ends.
  virtual void PauseMinuteTimer(bool paused) = 0;
  // Restarts the clock display, just after a whole second.
  virtual void RestartClockDisplay() = 0;
  // Whole minutes since the last update cycle.
  virtual int MinuteCount() const = 0;

 protected:
  ~SyncHost() = default;
};

// While a device is served the minute timer counts as off (see PauseMinuteTimer).
class MinuteTimerPause {
 public:
  explicit MinuteTimerPause(SyncHost& host) : host_(host) { host_.PauseMinuteTimer(true); }
  ~MinuteTimerPause() { host_.PauseMinuteTimer(false); }
  MinuteTimerPause(const MinuteTimerPause&) = delete;
  MinuteTimerPause& operator=(const MinuteTimerPause&) = delete;

 private:
  SyncHost& host_;
};

// The busy pointer for the length of a scope.
class BusyScope {
 public:
  explicit BusyScope(SyncHost& host) : host_(host) { host_.BusyPointerOn(); }
  ~BusyScope() { host_.BusyPointerOff(); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  SyncHost& host_;
};

// What the device routines work with.
struct SyncParts {
  const AppConfig& config;
  Clock& clock;
  clsSerialCommAPI& serialPort;
  QV_Paging& paging;
  EventLoop& loop;
  SyncHost& host;
  HistorySink* history = nullptr;  // none: nothing is kept
  TimeDaemonFeed* feed = nullptr;  // none: mode 2 always sets the PC clock
};

}  // namespace horalign
