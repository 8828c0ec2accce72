#pragma once

#include <memory>
#include <string>
#include <vector>

struct sd_event;
struct sd_device_monitor;

namespace horalign {

// Tells when serial devices may have come or gone, without polling /dev: udev's notices of
// the tty subsystem (sd-device's monitor: an adapter plugged in or pulled out), and the
// folders the watched paths lie in (inotify: a link under /dev/serial/by-id made or
// removed, a device node gone). A folder that is not there yet is watched through its
// nearest parent that is, so that its making is seen too. What the system does not offer
// (no udev in a container) is simply not watched.
class DeviceWatch {
 public:
  DeviceWatch();
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Watches the folders of these paths (links followed too), in place of those watched so far.
  void WatchPaths(const std::vector<std::string>& paths);
  // The descriptors to wait on: readable when something may have changed.
  std::vector<int> Fds() const;
  // Takes what has arrived; true when a device may have come or gone.
  bool Take();

 private:
  int inotify_ = -1;
  std::vector<int> watches_;
  sd_event* event_ = nullptr;
  sd_device_monitor* monitor_ = nullptr;
  bool changed_ = false;  // set by the monitor's handler
};

}  // namespace horalign
