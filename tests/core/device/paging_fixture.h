#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/device/monitor_timers.h"
#include "core/device/paging.h"
#include "core/serial/delay.h"
#include "core/serial/serial_comm.h"
#include "sim/world.h"

namespace horalign::test {

// The device protocol on a simulated line, with the two timers that drive it: the 50 ms
// delay tick (which also goes on collecting a line) and the 500 ms port monitor.
struct PagingRig {
  sim::World world;
  std::int32_t delayTicks = 0;
  clsSerialCommAPI serialPort{world.serial};
  QV_Paging paging{serialPort, world.loop, delayTicks};
  MonitorTimers timers{world.loop, paging, delayTicks};

  void Open(int port, const std::string& settings = "9600,N,8,1") {
    paging.OpenPort(serialPort, static_cast<std::int16_t>(port), settings);
  }
  // A device on `port`, the port opened at the device's settings.
  sim::SimDevice& Attach(int port, const sim::SimDeviceConfig& config = {}) {
    sim::SimDevice& device = world.AddDevice(port, config);
    Open(port, config.settings);
    return device;
  }
  std::int64_t NowMs() const { return world.time.NowUs() / 1000; }
  // Lines the PC sent to a port, as text up to and including CR.
  std::vector<sim::WireLine> Sent(int port) const { return world.serial.LinesToDevice(port); }
};

}  // namespace horalign::test
