#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "core/ui/port_list.h"
#include "tests/core/faults/fault_app.h"

namespace horalign::test {
namespace {

// Pulls the adapter of a port once `count` bytes have gone out to it since arming: looks
// at the wire every virtual millisecond, as a hand on the cable would. The line drops as
// the cable comes out, so the device hears a break (a garbled byte) and forgets the
// command it was receiving, as a real device's receiver does.
class Unplugger {
 public:
  Unplugger(sim::World& world, int port, sim::SimDevice& device)
      : world_(world), port_(port), device_(device) {}

  void Arm(int count) {
    world_.serial.ClearWireLog();
    count_ = count;
    Look();
  }
  bool Pulled() const { return pulled_; }

 private:
  void Look() {
    int sent = 0;
    for (const auto& byte : world_.serial.WireLog()) {
      if (byte.port == port_ && byte.direction == sim::WireDirection::kToDevice) ++sent;
    }
    if (sent >= count_) {
      world_.serial.Unplug(port_);
      device_.Hear(0, true);
      pulled_ = true;
      return;
    }
    world_.time.After(1000, [this] { Look(); });
  }

  sim::World& world_;
  int port_;
  sim::SimDevice& device_;
  int count_ = 0;
  bool pulled_ = false;
};

// The time command "T" hhmmss MMDDYY "U?W" CR is 17 bytes.
struct UnplugCase {
  const char* when;
  int bytesBeforeUnplug;
  std::size_t clockSetsBeforeReplug;  // the device took the command, its answer was lost
};

TEST(Unplug, ACommandCutOffShowsTheFailureAndTheUpdateAfterReplugWorks) {
  for (const UnplugCase c : {UnplugCase{"while the command is on the line", 5, 0},
                             UnplugCase{"while its acknowledge is awaited", 17, 1}}) {
    sim::SimApp s;
    auto& device =
        s.world.AddDevice(3, {.letter = 'W', .serial = "ABCDE", .replyDelayUs = 300'000});
    StartWith(s, kModeDeviceFromPc, 1 << 2);
    ASSERT_EQ(s.Cell(3, kColDevice), "QM8340") << c.when;

    Unplugger hand(s.world, 3, device);
    hand.Arm(c.bytesBeforeUnplug);
    UpdateNow(s, 3);
    ASSERT_TRUE(hand.Pulled()) << c.when;
    EXPECT_EQ(s.Cell(3, kColStatus), "Error updating device.") << c.when;
    EXPECT_EQ(device.ClockSets().size(), c.clockSetsBeforeReplug) << c.when;
    // The row still names the device: nothing told the program it went away.
    EXPECT_EQ(s.Cell(3, kColDetected), "Yes") << c.when;

    // Still unplugged: the next update fails the same way, and does not hang.
    const std::int64_t before = s.world.time.NowUs();
    UpdateNow(s, 3);
    EXPECT_EQ(s.Cell(3, kColStatus), "Error updating device.") << c.when;
    EXPECT_LT(s.world.time.NowUs() - before, 10'000'000) << c.when;

    s.world.serial.Replug(3);
    UpdateNow(s, 3);
    EXPECT_EQ(s.Cell(3, kColStatus), "Device updated successfully.") << c.when;
    EXPECT_EQ(device.ClockSets().size(), c.clockSetsBeforeReplug + 1) << c.when;
    EXPECT_TRUE(s.view.enabled) << c.when;
    EXPECT_FALSE(s.pointer.busy) << c.when;
  }
}

}  // namespace
}  // namespace horalign::test
