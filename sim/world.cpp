#include "sim/world.h"

namespace horalign::sim {

World::World(const WorldOptions& options)
    : clock(time, options.utcAtStart, options.localOffsetMinutes), loop(time), serial(time) {}

SimDevice& World::AddDevice(int port, SimDeviceConfig config) {
  devices.push_back(std::make_unique<SimDevice>(time, clock, std::move(config)));
  serial.Attach(port, *devices.back());
  return *devices.back();
}

void World::AddEmptyPorts(int first, int last) {
  for (int n = first; n <= last; ++n) serial.AddPort(n);
}

}  // namespace horalign::sim
