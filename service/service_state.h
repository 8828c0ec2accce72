#pragma once

// What the service answers its readers from: its rows, its devices' figures and its
// settings as they last settled. A read takes these at once, never waiting for an operation
// (or for the start of a second that a write waits for).
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "control/protocol.h"
#include "core/app/application.h"
#include "service/service_metrics.h"

namespace horalign {

class ServiceState {
 public:
  struct Sources {
    Application& app;
    MetricsHistory& metrics;
    std::function<std::string(int port)> portPath;  // the device COM n stands for
    std::string settingsName;                       // the settings file, or the registry key
  };
  explicit ServiceState(Sources sources) : s_(std::move(sources)) {}

  // Takes everything again: at the start, and after every operation.
  void Refresh();
  // Takes one row (and the devices' figures) as it settles.
  void RefreshRow(int port);

  const ServiceRow& Row(int port) const { return rows_[Index(port)]; }
  const ServiceSettingsRead& Settings() const { return settings_; }
  // The answer to a read (GetPorts, GetDevices, GetSettings, Watch).
  Answer Read(RequestKind kind) const;

 private:
  static std::size_t Index(int port) { return static_cast<std::size_t>(port - 1); }
  ServiceRow TakeRow(int port);
  void TakeDevices();
  void TakeSettings();
  PcClockRead TakePcClock() const;

  Sources s_;
  std::array<ServiceRow, 16> rows_{};
  std::vector<ServiceDevice> devices_;
  ServiceSettingsRead settings_;
};

}  // namespace horalign
