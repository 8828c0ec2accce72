#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// A QM8340 on COM3 meets a fault during an update. The window stays responsive (the loop
// runs at least every 100 ms, apart from the sleep before a second boundary), the update
// does not hang, and once the fault is gone the next update works.
struct FaultCase {
  const char* what;
  std::int64_t replyDelayUs;
  int cableOutAfterBytes;  // 0: stays in; the time command is 17 bytes
  const char* noise;       // sent for 10 s before and during the update
  bool fails;
  std::size_t clockSets;  // the device took the command, its answer may be lost
};

TEST(DeviceFault, FailsThatUpdateOnlyAndKeepsTheWindowResponsive) {
  // The noise rows: the device takes the command, its acknowledge is stuck behind the noise.
  for (const FaultCase& c :
       {FaultCase{"answers a grace wait late", 800'000, 0, nullptr, false, 1},
        FaultCase{"cable out while the command is on the line", 300'000, 5, nullptr, true, 0},
        FaultCase{"cable out while the acknowledge is awaited", 300'000, 17, nullptr, true, 1},
        FaultCase{"noise without CR", 5'000, 0, "#~", true, 1},
        FaultCase{"noise of short lines", 5'000, 0, "\x80\r\xff", true, 1}}) {
    SCOPED_TRACE(c.what);
    SimApp s;
    auto& device = StartWith(s, 1, 3, {.letter = 'W', .replyDelayUs = c.replyDelayUs});
    if (c.noise) {
      device.Flood(10'000'000, c.noise);
      s.Run(1000);
    }
    // Pulls the adapter once enough bytes went out, looking every virtual millisecond as a
    // hand on the cable would; the device hears the line drop and forgets a partial command.
    s.world.serial.ClearWireLog();
    std::function<void()> hand = [&] {
      const auto& wire = s.world.serial.WireLog();
      if (std::ranges::count_if(wire, [](const auto& b) {
            return b.port == 3 && b.direction == sim::WireDirection::kToDevice;
          }) < c.cableOutAfterBytes) {
        s.world.time.After(1000, hand);
        return;
      }
      s.world.serial.Unplug(3);
      device.Hear(0, true);
    };
    if (c.cableOutAfterBytes) hand();
    std::int64_t lastUs = -1, lastSlept = 0, longestGapUs = 0;
    s.world.loop.SetYieldHook([&](std::int64_t nowUs) {
      const std::int64_t slept = s.world.clock.SleptMicros();
      if (lastUs >= 0) longestGapUs = std::max(longestGapUs, nowUs - lastUs - (slept - lastSlept));
      lastUs = nowUs, lastSlept = slept;
    });
    const std::int64_t startUs = s.world.time.NowUs(), startSlept = s.world.clock.SleptMicros();
    Click(s, 3, &QV_MainForm::OnUpdateClick);
    s.world.loop.SetYieldHook(nullptr);
    // Its length, less the sleep before the second: the acknowledge's wait and grace waits.
    EXPECT_LT(s.world.time.NowUs() - startUs - (s.world.clock.SleptMicros() - startSlept),
              8'000'000);
    EXPECT_LE(longestGapUs, 100'000);
    EXPECT_EQ(s.Cell(3, kColStatus),
              c.fails ? "Error updating device." : "Device updated successfully.");
    EXPECT_EQ(device.ClockSets().size(), c.clockSets);
    // The row still names the device: nothing told the program it went away.
    EXPECT_EQ(s.Cell(3, kColDetected), "Yes");
    if (c.cableOutAfterBytes) s.world.serial.Replug(3);
    s.Run(10'000);
    Click(s, 3, &QV_MainForm::OnUpdateClick);
    EXPECT_EQ(s.Cell(3, kColStatus), "Device updated successfully.");
    EXPECT_EQ(device.ClockSets().size(), c.clockSets + 1);
    EXPECT_TRUE(s.view.enabled && !s.pointer.busy);
  }
}

}  // namespace
}  // namespace horalign::test
