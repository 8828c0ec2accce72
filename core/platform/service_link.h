#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace horalign {

// One port's row as the service that owns the ports shows it.
struct ServiceRow {
  int port = 0;  // 1..16
  std::string path, active, status, statusTime, device, sn, settings;
  bool detected = false;
};

// The service's synchronization settings.
struct ServiceSettings {
  int mode = 0;
  std::uint32_t activePorts = 0;  // bit n-1: COM n
  int interval = 0;
  bool pushOnTimeChange = false, verifyWrites = false;
};

// What a window asks the service to do. `value` is the port, the mode, the port mask
// (bit n-1: COM n) or the minutes. kUpdate writes the PC time to the device; kReadTime
// sets the PC clock from it.
enum class ServiceRequestKind {
  kUpdate,
  kReadTime,
  kRescan,
  kSetMode,
  kSetActivePorts,
  kSetInterval,
  kUpdateForced,  // kUpdate, also while the PC clock's state holds the writes back
};
struct ServiceRequest {
  ServiceRequestKind kind;
  std::int64_t value = 0;
};

// A service that owns the serial ports of this machine, as a window that is its client sees
// it: the window opens no port, it shows the service's rows and passes its buttons on. Every
// answer comes later, from the loop, so a question polkit asks never stops the window.
class ServiceLink {
 public:
  struct Listener {
    std::function<void(const ServiceRow&)> row;
    std::function<void(const ServiceSettings&)> settings;
    // The service went away (`up` false, with why) or came back (the rows and the settings
    // follow).
    std::function<void(bool up, const std::string& why)> availability;
  };
  virtual ~ServiceLink() = default;
  // Every row and the settings arrive through `listener`, then each change of them.
  virtual void Watch(Listener listener) = 0;
  // `done` gets "" once the service has done it, else why not (a refusal, a failure).
  virtual void Ask(const ServiceRequest& request,
                   std::function<void(const std::string& problem)> done) = 0;
};

}  // namespace horalign
