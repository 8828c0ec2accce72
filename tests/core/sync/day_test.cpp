#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

constexpr std::int64_t kSecondUs = 1'000'000;
constexpr std::int64_t kDayUs = 86'400 * kSecondUs;

struct Served {
  int port;
  sim::SimDeviceConfig config;
  const char* timeCommand;  // the first command of every write
  bool keepsUtc;
};

TEST(WholeDay, DriftingDevicesStayWithinASecondOfThePcAndEveryWriteStartsOnTheSecond) {
  const int offsetMinutes = 90;
  SimApp s({.localOffsetMinutes = offsetMinutes});
  const std::vector<Served> served = {
      {1, {.letter = 'W', .clockOffsetSeconds = 2.5, .driftPpm = 50}, "T", true},
      {2, {.letter = 'A', .clockOffsetSeconds = -4, .driftPpm = -80}, "PT", false},
      {3, {.letter = 'K', .clockOffsetSeconds = 30, .driftPpm = 200}, "PT", false}};
  std::vector<sim::SimDevice*> devices;
  for (const auto& d : served) devices.push_back(&s.world.AddDevice(d.port, d.config));
  StartIn(s, 1, 1 + 2 + 4);
  ASSERT_EQ(s.Cell(3, kColDevice), "Tone Generator");

  int cycles = 0;
  while (s.world.time.NowUs() < kDayUs) {
    std::vector<std::size_t> setsBefore;
    for (auto* d : devices) setsBefore.push_back(d->ClockSets().size());
    const bool cycled = s.world.loop.RunUntil(
        [&] {
          for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i]->ClockSets().size() <= setsBefore[i]) return false;
          }
          return s.view.enabled && s.Form().MinuteCount() == 0;
        },
        62 * 60'000);
    ASSERT_TRUE(cycled) << "cycle " << cycles + 1;
    ++cycles;
    const std::int64_t pcUtc = s.world.clock.UtcEpochMicros();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const std::int64_t pc = served[i].keepsUtc ? pcUtc : pcUtc + offsetMinutes * 60 * kSecondUs;
      EXPECT_LT(std::llabs(devices[i]->ClockEpochUs() - pc), kSecondUs)
          << "cycle " << cycles << ", COM " << served[i].port;
      EXPECT_EQ(s.Cell(served[i].port, kColStatus), "Device updated successfully.");
    }
  }
  EXPECT_GE(cycles, 23);
  EXPECT_EQ(s.world.clock.WallStepMicros(), 0);  // virtual time and the PC clock share seconds
  for (const auto& d : served) {
    const auto writes = SentStartingWith(s, d.port, d.timeCommand);
    EXPECT_EQ(static_cast<int>(writes.size()), cycles) << "COM " << d.port;
    for (const auto& w : writes) {
      EXPECT_LT(w.firstByteUs % kSecondUs, 5'000) << "COM " << d.port << " " << w.text;
    }
  }
}

}  // namespace
}  // namespace horalign::test
