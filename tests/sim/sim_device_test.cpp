#include "sim/sim_device.h"

#include <gtest/gtest.h>

#include <vector>

#include "line_bench.h"

namespace horalign::sim {
namespace {

TEST(SimDevice, AnswersEachCommandWithTheBytesOfItsFamily) {
  struct Case {
    const char* what;
    SimDeviceConfig config;
    const char* frame;
    const char* reply;
  };
  const Case cases[] = {
      {"a lone CR gets the error line", {.letter = 'W'}, "\r", "?99\r"},
      {"a receiver without letter answers a CR", {.letter = kNoLetter}, "\r", "?\r"},
      {"identification", {.letter = 'W', .serial = "ABCDE"}, "?000M\r", "EDCBAW00000000\r"},
      {"a receiver without letter has no identity", {.letter = kNoLetter}, "?000M\r", "?\r"},
      {"P is acknowledged", {.letter = 'A'}, "P\r", "*\r"},
      {"long PT", {.letter = 'A'}, "PT140509\r", "*\r"},
      {"PD with weekday", {.letter = 'A'}, "PD1205267\r", "*\r"},
      {"UTC set", {.letter = 'W'}, "T140509120526U?W\r", "*\r"},
      {"the local family lacks the UTC set", {.letter = 'A'}, "T140509120526U?W\r", "?99\r"},
      {"long PT refused", {.letter = 'A', .refuseLongPt = true}, "PT140509\r", "?99\r"},
      {"short PT taken when long is refused",
       {.letter = 'A', .refuseLongPt = true},
       "PT1405\r",
       "*\r"},
      {"PD refused", {.letter = 'A', .refusePd = true}, "PD1205267\r", "?99\r"},
      {"an hour that does not exist", {.letter = 'A'}, "PT245000\r", "?99\r"},
      {"a date that does not exist", {.letter = 'A'}, "PD0230267\r", "?99\r"},
      {"QT to a model without time query", {.letter = 'A'}, "QT\r", "?99\r"},
      {"a LF is just a character", {.letter = 'W'}, "\nP\r", "?99\r"},
      {"a wrong reply for every command",
       {.letter = 'W', .fixedReply = "ABCDEFGHIJKLMN"},
       "P\r",
       "ABCDEFGHIJKLMN\r"},
      {"a wrong-reply device still answers the probe",
       {.letter = 'W', .fixedReply = "X"},
       "\r",
       "?99\r"},
      {"a reply without CR", {.letter = 'W', .missingCr = true}, "P\r", "*"},
      {"garbage ahead of the reply",
       {.letter = 'W', .garbageBeforeReply = "\x01\xFE"},
       "P\r",
       "\x01\xFE*\r"},
      {"a silent device", {.letter = 'W', .silent = true}, "P\r", ""},
  };
  for (const Case& c : cases) {
    LineBench b(c.config);
    EXPECT_EQ(b.Ask(c.frame), c.reply) << c.what;
    EXPECT_EQ(b.dev.Commands().size(), 1u) << c.what;
  }
}

TEST(SimDevice, TheTimeReplyEndsWithTheDigitSumOfItsThirteenDigits) {
  struct Case {
    CivilTime clock;
    const char* reply;
  };
  for (const Case& c : {Case{{2026, 12, 5, 14, 5, 9}, "14050912052672\r"},
                        Case{{2027, 1, 1, 0, 0, 0}, "00000001012767\r"},
                        Case{{2099, 12, 31, 23, 59, 59}, "23595912319953\r"}}) {
    LineBench b({.letter = 'Z'});
    b.dev.SetClock(c.clock);
    EXPECT_EQ(b.Ask("QT\r"), c.reply);
  }
}

TEST(SimDevice, TimeCommandsSetTheDevicesClockAndAreRecorded) {
  LineBench b({.letter = 'A'});
  b.Ask("PT070500\r");
  b.Ask("PD0101277\r");
  const CivilTime now = b.dev.ClockNow();
  EXPECT_EQ(
      (CivilTime{now.year, now.month, now.day, now.hour, now.minute, now.second, 0, now.weekday}),
      (CivilTime{2027, 1, 1, 7, 5, 0, 0, 6}));
  ASSERT_EQ(b.dev.ClockSets().size(), 2u);
  EXPECT_EQ(b.dev.ClockSets()[0].command, "PT070500");
  EXPECT_EQ(b.dev.ClockSets()[0].atUs, b.dev.Commands()[0].atUs);

  LineBench u({.letter = 'M'});
  u.Ask("T235959123127U?W\r");
  EXPECT_EQ(u.dev.ClockSets()[0].value, (CivilTime{2027, 12, 31, 23, 59, 59, 0, 6}));
}

TEST(SimDevice, ReceiversSendTimeEventsSevenHoursAheadOfTheirClock) {
  struct Case {
    SimDeviceConfig config;
    int localOffsetMinutes;
    std::int64_t afterSeconds;
    const char* event;
  };
  const Case cases[] = {
      {{.letter = kNoLetter}, 0, 60, "037146221069\r"},
      {{.letter = kNoLetter}, -300, 60, "037146216063\r"},
      {{.letter = 'V', .eventEverySeconds = 30, .partNumber = "0371438"}, 0, 30, "037143821058\r"},
      {{.letter = kNoLetter, .partNumber = "0371461", .eventTail = "XY"},
       0,
       60,
       "037146121069XY\r"},
  };
  for (const Case& c : cases) {
    World w({{2026, 12, 5, 14, 5, 9, 0, 7}, c.localOffsetMinutes});
    SimDevice& dev = w.AddDevice(2, c.config);
    CommTimeouts saved;
    const CommHandle h = w.serial.Open(2, "9600,N,8,1", {}, saved);
    w.time.AdvanceTo(c.afterSeconds * 1'000'000 - 1);
    EXPECT_EQ(w.serial.InputCount(h), 0);
    w.time.AdvanceTo((c.afterSeconds + 1) * 1'000'000);
    EXPECT_EQ(w.serial.Read(h, 100), c.event);
    EXPECT_EQ(dev.EventsSent(), 1);
  }
}

TEST(SimDevice, OnlyReceiversSendEventsOfTheirOwn) {
  World w;
  SimDevice& dev = w.AddDevice(2, {.letter = 'W', .eventEverySeconds = 10});
  w.time.AdvanceTo(100'000'000);
  EXPECT_EQ(dev.EventsSent(), 0);
  EXPECT_TRUE(w.serial.LinesFromDevice(2).empty());
}

TEST(SimDevice, ItsClockStartsAtItsOffsetDriftsAndSteps) {
  World w({{2026, 12, 5, 14, 5, 9, 0, 7}, 60});
  SimDevice& utc = w.AddDevice(1, {.letter = 'W', .clockOffsetSeconds = -2, .driftPpm = 100});
  SimDevice& local = w.AddDevice(2, {.letter = 'A'});
  EXPECT_EQ(local.ClockNow().hour, 15);
  EXPECT_EQ(utc.ClockEpochUs() - w.clock.TrueUtcEpochMicros(), -2'000'000);
  w.time.AdvanceTo(86'400'000'000);
  EXPECT_EQ(utc.ClockEpochUs() - w.clock.TrueUtcEpochMicros(), -2'000'000 + 8'640'000);
  utc.Step(1.5);
  EXPECT_EQ(utc.ClockEpochUs() - w.clock.TrueUtcEpochMicros(), 8'140'000);
  // Setting the PC clock does not move a device's.
  w.clock.SetLocal({2030, 1, 1, 0, 0, 0, 0, 0});
  EXPECT_EQ(utc.ClockEpochUs() - w.clock.TrueUtcEpochMicros(), 8'140'000);
}

TEST(SimDevice, ALateDeviceStartsItsReplyAfterItsDelay) {
  LineBench b({.letter = 'W', .replyDelayUs = 2'500'000});
  EXPECT_EQ(b.Ask("P\r", 2000), "");
  b.w.time.AdvanceTo(3'000'000);
  const auto replies = b.w.serial.LinesFromDevice(3);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].firstByteUs, 2083 + 2'500'000);
}

TEST(SimDevice, AFloodKeepsTheLineBusyAtFullSpeedForItsDuration) {
  LineBench b({.letter = 'W'});
  b.dev.Flood(1'000'000, "ab");
  b.w.time.AdvanceTo(500'000);
  EXPECT_EQ(b.w.serial.InputCount(b.handle), 480);
  EXPECT_EQ(b.w.serial.Read(b.handle, 4), "abab");
  b.w.time.AdvanceTo(2'000'000);
  EXPECT_EQ(b.w.serial.InputCount(b.handle), 956);
}

}  // namespace
}  // namespace horalign::sim
