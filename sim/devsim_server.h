#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/registry_store.h"
#include "sim/devsim_log.h"
#include "sim/devsim_options.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

// Serves the simulated devices on pseudo-terminals in real time, on one thread. Virtual
// time follows CLOCK_MONOTONIC and the devices' clocks are anchored to CLOCK_REALTIME at
// start; replies, the paced bytes of the devices' output, time events and unplugging are
// events on that time, so the poll sleeps until the next one (or for ever): an idle
// simulator uses no CPU. Bytes from the program reach a device as they arrive.
class DevsimServer {
 public:
  // `ports`: where the Ports mapping is written, or null. Log and store must outlive it.
  DevsimServer(const DevsimOptions& options, DevsimLog& log, RegistryStore* ports);
  ~DevsimServer();
  DevsimServer(const DevsimServer&) = delete;
  DevsimServer& operator=(const DevsimServer&) = delete;

  // Opens every device's terminal and writes the mapping; false with the reason in
  // `error` when a terminal cannot be opened or the mapping cannot be written.
  bool Start(std::string& error);

  // One line per device: "COM1 /dev/pts/7 QM8340 ABCDE 9600,N,8,1".
  std::vector<std::string> Summary() const;

  // Serves until a byte arrives on `stopFd` (the number of the signal that asked to stop)
  // and returns that number; -1 when polling fails.
  int Run(int stopFd);

 private:
  struct Served;

  void Sync();
  std::int64_t RealUsAt(std::int64_t virtualUs) const;
  std::int64_t WaitUs() const;
  bool Plug(Served& s, std::string& error);
  void Unplug(Served& s);
  void Replug(Served& s);
  void ReadMaster(Served& s);
  void Feed(Served& s, std::string_view bytes);
  void LogTaken(Served& s);
  void OnDeviceByte(Served& s, std::uint8_t byte);
  void FlushSent(Served& s);

  DevsimLog& log_;
  RegistryStore* ports_;
  std::int64_t monoStartUs_;
  std::int64_t virtualAtSync_ = 0;
  std::int64_t realAtSync_ = 0;
  VirtualTime time_;
  VirtualClock clock_;
  std::vector<std::unique_ptr<Served>> served_;
};

}  // namespace horalign::sim
