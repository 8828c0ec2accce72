// Devices that go and come back while the service runs, on the simulated program.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "service/hot_plug.h"
#include "tests/service/service_rig.h"

namespace horalign {
namespace {

struct Plugged : ServiceRig {
  Plugged() {
    device = &app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
    control.AddListener(sessions);
    Start();
    sessions.Take(5, R"({"request": "Watch"})", false);
    app.world.loop.RunForMs(1000);
  }
  void Unplug() {
    here.erase(path(3));
    app.world.serial.Unplug(3);
    hotPlug.Check();
  }
  void Replug() {
    here.insert(path(3));
    app.world.serial.Replug(3);
    hotPlug.Check();
  }
  int Writes() {
    return static_cast<int>(std::ranges::count_if(
        device->Commands(), [](const sim::DeviceCommand& c) { return c.line.starts_with("T"); }));
  }
  bool Heard(const std::string& status) {
    return std::ranges::any_of(sent, [&status](const std::string& line) {
      return line.find("\"PortChanged\"") != line.npos && line.find(status) != line.npos &&
             line.find("\"port\":3") != line.npos;
    });
  }

  sim::SimDevice* device = nullptr;
  std::set<std::string> here{path(3)};
  std::vector<std::string> said;
  HotPlug hotPlug{{app.app, control, path,
                   [this](const std::string& p) { return here.count(p) > 0; },
                   [this](LogLevel, const std::string& line) { said.push_back(line); }}};
};

// Nothing is said or written while a device stays; once unplugged it is shown gone until it
// is back, then written again; a port no longer active is not watched.
TEST(HotPlug, AnUnpluggedDeviceIsShownGoneAndWrittenAgainOnceItIsBackIfStillActive) {
  Plugged p;
  ASSERT_EQ(p.app.Cell(3, kColStatus), "Connected to device.");
  int writes = p.Writes();
  p.hotPlug.Check();  // something changed elsewhere
  p.app.world.loop.RunForMs(1000);
  EXPECT_EQ(std::tuple(p.said.size(), p.Writes()), std::tuple(0u, writes));
  p.Unplug();
  p.app.world.loop.RunForMs(1000);
  EXPECT_EQ(p.app.Cell(3, kColActive), "N/A");
  EXPECT_TRUE(p.Heard("Disconnected from device.")) << "no PortChanged for the unplug";
  ASSERT_EQ(p.said.size(), 1u);
  EXPECT_NE(p.said[0].find("unplugged="), std::string::npos);
  // Nothing changes while it stays away, whatever else the system reports.
  p.hotPlug.Check();
  p.app.world.loop.RunForMs(1000);
  EXPECT_EQ(p.said.size(), 1u);

  writes = p.Writes();
  p.Replug();
  p.app.world.loop.RunForMs(10'000);
  EXPECT_EQ(p.app.Cell(3, kColActive), "Yes");
  EXPECT_EQ(p.app.Cell(3, kColStatus), "Device updated successfully.");
  EXPECT_EQ(p.Writes(), writes + 1);
  EXPECT_EQ(p.app.Stored("Used COM Ports"), "4") << "the unplug deactivated the port";

  p.app.Set("Used COM Ports", "0");
  p.app.app.Config().UsedComPorts = 0;
  const auto kept = std::tuple(p.said.size(), p.Writes());
  p.Unplug();
  p.app.world.loop.RunForMs(1000);
  EXPECT_EQ(std::tuple(p.said.size(), p.Writes()), kept);
}

}  // namespace
}  // namespace horalign
