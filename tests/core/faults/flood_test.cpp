#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/ui/port_list.h"
#include "tests/core/faults/fault_app.h"

namespace horalign::test {
namespace {

// The longest stretch of virtual time between two passes of the event loop while the
// window is locked for an update, less the deliberate sleep before a second boundary:
// how long a click or a redraw could have waited.
class Responsiveness {
 public:
  explicit Responsiveness(sim::SimApp& s) : s_(s) {
    s.world.loop.SetYieldHook([this](std::int64_t nowUs) { Pass(nowUs); });
  }
  ~Responsiveness() { s_.world.loop.SetYieldHook(nullptr); }
  std::int64_t LongestGapUs() const { return longestUs_; }
  int Passes() const { return passes_; }

 private:
  void Pass(std::int64_t nowUs) {
    const std::int64_t slept = s_.world.clock.SleptMicros();
    if (s_.view.enabled) {
      lastUs_ = -1;  // not inside an update
      return;
    }
    if (lastUs_ >= 0) longestUs_ = std::max(longestUs_, nowUs - lastUs_ - (slept - lastSlept_));
    lastUs_ = nowUs;
    lastSlept_ = slept;
    ++passes_;
  }

  sim::SimApp& s_;
  std::int64_t lastUs_ = -1;
  std::int64_t lastSlept_ = 0;
  std::int64_t longestUs_ = 0;
  int passes_ = 0;
};

TEST(Flood, AWholeUpdateCycleOfNoiseLeavesTheWindowResponsiveAndTheDeviceServedAfter) {
  struct Case {
    const char* what;
    std::string pattern;
  };
  for (const Case& c :
       {Case{"noise without CR", "#~"}, Case{"noise full of short lines", "\x80\r\xff"}}) {
    sim::SimApp s;
    auto& device = s.world.AddDevice(5, {.letter = 'W'});
    StartWith(s, kModeDeviceFromPc, 1 << 4);
    ASSERT_EQ(s.Cell(5, kColDetected), "Yes") << c.what;

    // The 60th minute tick runs the update cycle; the flood starts 20 s before it.
    ASSERT_TRUE(s.world.loop.RunUntil([&] { return s.Form().MinuteCount() == 59; }, 3'600'000));
    s.Run(40'000);
    device.Flood(40'000'000, c.pattern);
    {
      Responsiveness window(s);
      ASSERT_TRUE(s.world.loop.RunUntil([&] { return s.Form().MinuteCount() == 0; }, 30'000));
      EXPECT_GT(window.Passes(), 10) << c.what;
      EXPECT_LE(window.LongestGapUs(), 100'000) << c.what;
    }
    // Its acknowledge, if it took the command at all, is stuck behind the noise.
    EXPECT_EQ(s.Cell(5, kColStatus), "Error updating device.") << c.what;
    EXPECT_TRUE(s.view.enabled) << c.what;
    const std::size_t setsDuringNoise = device.ClockSets().size();

    // Once the noise has stopped the device is served at the next update.
    s.Run(30'000);
    UpdateNow(s, 5);
    EXPECT_EQ(s.Cell(5, kColStatus), "Device updated successfully.") << c.what;
    EXPECT_EQ(device.ClockSets().size(), setsDuringNoise + 1) << c.what;
  }
}

}  // namespace
}  // namespace horalign::test
