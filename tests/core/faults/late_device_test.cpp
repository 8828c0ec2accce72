#include <gtest/gtest.h>

#include <cstdint>

#include "core/ui/port_list.h"
#include "tests/core/faults/fault_app.h"

namespace horalign::test {
namespace {

// Every answer comes one grace wait (16 ticks, 800 ms) after the command's CR.
constexpr std::int64_t kOneGraceWaitUs = 16 * 50'000;

TEST(LateDevice, ADeviceAnsweringEveryCommandAGraceWaitLateIsConnectedAndWritten) {
  sim::SimApp s;
  auto& utc =
      s.world.AddDevice(3, {.letter = 'W', .serial = "ABCDE", .replyDelayUs = kOneGraceWaitUs});
  auto& local =
      s.world.AddDevice(4, {.letter = 'A', .serial = "12345", .replyDelayUs = kOneGraceWaitUs});
  StartWith(s, kModeDeviceFromPc, (1 << 2) | (1 << 3));
  EXPECT_EQ(s.Cell(3, kColStatus), "Connected to device.");
  EXPECT_EQ(s.Cell(3, kColDevice), "QM8340");
  EXPECT_EQ(s.Cell(3, kColSerial), "ABCDE");
  EXPECT_EQ(s.Cell(4, kColDevice), "QM6840");

  UpdateNow(s, 3);
  EXPECT_EQ(s.Cell(3, kColStatus), "Device updated successfully.");
  ASSERT_EQ(utc.ClockSets().size(), 1u);
  EXPECT_TRUE(utc.ClockSets()[0].command.starts_with("T"));

  UpdateNow(s, 4);
  EXPECT_EQ(s.Cell(4, kColStatus), "Device updated successfully.");
  ASSERT_EQ(local.ClockSets().size(), 2u);  // the time, then the date
  EXPECT_TRUE(local.ClockSets()[0].command.starts_with("PT"));
  EXPECT_TRUE(local.ClockSets()[1].command.starts_with("PD"));
}

TEST(LateDevice, ALateClockStillSetsThePcClock) {
  sim::SimApp s;
  s.world.AddDevice(6,
                    {.letter = 'K', .clockOffsetSeconds = 3600, .replyDelayUs = kOneGraceWaitUs});
  StartWith(s, kModePcFromDevice, 1 << 5);
  ASSERT_EQ(s.Cell(6, kColDevice), "Tone Generator");

  UpdateNow(s, 6);
  EXPECT_EQ(s.Cell(6, kColStatus), "PC updated successfully.");
  ASSERT_EQ(s.world.clock.SetLog().size(), 1u);
  // The PC follows the device an hour ahead, less the reply's age (under two seconds).
  EXPECT_NEAR(static_cast<double>(s.world.clock.WallStepMicros()), 3600e6, 2e6);
}

// A pseudo-terminal keeps what a device sends while the port is closed. An acknowledge that
// came after the program gave up must not answer the next command on that port.
TEST(LateDevice, AnAcknowledgeThatCameTooLateIsNotTakenForTheNextCommandsAnswer) {
  sim::SimApp s;
  auto& late = s.world.AddDevice(3, {.letter = 'W'});
  s.world.AddDevice(4, {.letter = 'W'});
  StartWith(s, kModeDeviceFromPc, (1 << 2) | (1 << 3));
  late.Config().replyDelayUs = 9'000'000;
  UpdateNow(s, 3);
  EXPECT_EQ(s.Cell(3, kColStatus), "Error updating device.");
  UpdateNow(s, 4);  // leaves COM3 closed when its acknowledge comes
  s.Run(5'000);
  ASSERT_EQ(s.world.serial.LinesFromDevice(3).back().text, "*\r");
  late.Config().silent = true;
  UpdateNow(s, 3);
  EXPECT_EQ(s.Cell(3, kColStatus), "Error updating device.");
  EXPECT_EQ(late.ClockSets().size(), 1u);  // it took the first command only
}

}  // namespace
}  // namespace horalign::test
