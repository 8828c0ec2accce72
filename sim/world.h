#pragma once

#include <deque>
#include <memory>

#include "core/platform/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_serial.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_loop.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

struct WorldOptions {
  CivilTime utcAtStart{2026, 12, 5, 14, 5, 9, 0, 7};  // a Saturday
  int localOffsetMinutes = 0;
};

// Everything a scenario runs on: virtual time, the PC's clock and event loop, the
// serial ports and the devices on them. Worlds share nothing, so two can run side by side.
//
//   sim::World w;
//   auto& dev = w.AddDevice(3, {.letter = 'W', .serial = "ABCDE"});
struct World {
  explicit World(const WorldOptions& options = {});

  // Adds COM n (if needed) and attaches a new device to it.
  SimDevice& AddDevice(int port, SimDeviceConfig config = {});
  // Makes COM first..last exist with nothing attached.
  void AddEmptyPorts(int first, int last);

  VirtualTime time;
  VirtualClock clock;
  VirtualLoop loop;
  std::deque<std::unique_ptr<SimDevice>> devices;
  SimSerialBackend serial;
};

}  // namespace horalign::sim
