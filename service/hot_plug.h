#pragma once

// Devices unplugged and plugged back in while the service runs. Whenever the system says a
// serial device changed, each active port is looked at: one whose device is gone is shown
// so (its row says "Disconnected from device.", its clients hear of it, a warning is said),
// and once the device is back on its path it is connected and written again, without a
// command. A device that vanishes in the middle of a write is that write's failure alone.
#include <array>
#include <functional>
#include <string>

#include "core/app/application.h"
#include "service/service_control.h"
#include "service/service_log.h"

namespace horalign {

class HotPlug {
 public:
  struct Parts {
    Application& app;
    ServiceControl& control;
    std::function<std::string(int port)> portPath;    // the device COM n stands for
    std::function<bool(const std::string&)> present;  // whether a device is at a path
    ServiceLog log;
  };
  explicit HotPlug(Parts parts) : p_(std::move(parts)) {}

  // Something changed among the system's devices.
  void Check();
  bool Gone(int port) const { return gone_[static_cast<std::size_t>(port - 1)]; }

 private:
  void Unplugged(int port, const std::string& path);
  void PluggedBack(int port, const std::string& path);

  Parts p_;
  std::array<bool, 16> gone_{};
};

}  // namespace horalign
