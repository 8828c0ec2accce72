// A reload on the simulated program: the settings read again in place, only what changed
// touched, so that no device the reload leaves as it was is dropped.
#include <gtest/gtest.h>

#include "tests/service/service_rig.h"

namespace horalign {
namespace {

struct Reloaded : ServiceRig {
  Reloaded() {
    for (int port : {2, 3, 4}) {
      devices[port] =
          &app.world.AddDevice(port, {.letter = 'W', .serial = "4000" + std::to_string(port)});
    }
    Start(1, "6");  // COM2 and COM3
    app.world.loop.RunForMs(1000);
  }
  std::size_t Heard(int port) { return devices[port]->Commands().size(); }
  Answer Reload() {
    std::optional<Answer> done;
    control.TakeOwn(MakeRequest(RequestKind::kReload), [&](const Answer& a) { done = a; });
    app.world.loop.RunUntil([&] { return done.has_value(); }, 60'000);
    return done.value_or(Answer::Refused(ErrorKind::kFailed, "no answer"));
  }
  std::map<int, sim::SimDevice*> devices;
};

TEST(Reload, TouchesOnlyThePortsWhoseSettingsChangedAndTakesTheNewInterval) {
  Reloaded r;
  ASSERT_EQ(r.app.Cell(2, kColStatus), "Connected to device.");
  const std::size_t com2 = r.Heard(2);
  // COM3 off, COM4 on, COM2 as it was; a new interval.
  r.app.Set("Used COM Ports", "10");
  r.app.Set("Update Interval", "90");
  ASSERT_TRUE(r.Reload().Ok());
  EXPECT_EQ(r.Heard(2), com2) << "COM2 stayed as it was and was probed again";
  EXPECT_EQ(r.app.Cell(2, kColActive), "Yes");
  EXPECT_EQ(r.app.Cell(3, kColActive), "No");
  EXPECT_EQ(r.app.Cell(4, kColStatus), "Connected to device.");
  EXPECT_EQ(r.state.Settings().interval, 90);  // as the state takes it from the program's record
  EXPECT_EQ(r.state.Settings().active, (std::vector<int>{2, 4}));
}

TEST(Reload, APortMappedElsewhereIsConnectedThereAndANewModeScansAfresh) {
  Reloaded r;
  const std::size_t com3 = r.Heard(3);
  // The state knows COM3 at /dev/sim3; the file now maps it elsewhere.
  r.path = [](int port) {
    return port == 3 ? std::string("/dev/moved") : "/dev/sim" + std::to_string(port);
  };
  ASSERT_TRUE(r.Reload().Ok());
  EXPECT_GT(r.Heard(3), com3) << "COM3, mapped elsewhere, was not connected anew";
  const std::size_t com2 = r.Heard(2);
  r.app.Set("Connection Mode", "2");
  ASSERT_TRUE(r.Reload().Ok());
  EXPECT_GT(r.Heard(2), com2) << "a new mode did not scan the ports afresh";
}

}  // namespace
}  // namespace horalign
