#include "sim/sim_serial.h"

#include <gtest/gtest.h>

#include <vector>

#include "line_bench.h"

namespace horalign::sim {
namespace {

std::vector<const WireByte*> Bytes(const SimSerialBackend& s, WireDirection d) {
  std::vector<const WireByte*> out;
  for (const WireByte& w : s.WireLog()) {
    if (w.direction == d) out.push_back(&w);
  }
  return out;
}

TEST(SimSerial, EachByteTakesItsBitsOverTheBaudRateWithoutRoundingDrift) {
  struct Case {
    const char* settings;
    std::vector<std::int64_t> endsUs;
  };
  for (const Case& c :
       {Case{"9600,N,8,1", {1041, 2083, 3125}}, Case{"1200,N,8,1", {8333, 16666, 25000}},
        Case{"1200,E,8,2", {10000, 20000, 30000}}}) {
    LineBench b({.letter = 'W', .settings = c.settings}, c.settings);
    EXPECT_EQ(b.w.serial.Write(b.handle, "QT\r"), 3);
    EXPECT_EQ(b.w.time.NowUs(), c.endsUs.back()) << c.settings;
    const auto sent = Bytes(b.w.serial, WireDirection::kToDevice);
    ASSERT_EQ(sent.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(sent[k]->startUs, k == 0 ? 0 : c.endsUs[k - 1]) << c.settings;
      EXPECT_EQ(sent[k]->endUs, c.endsUs[k]) << c.settings;
    }
    b.w.time.AdvanceTo(1'000'000);
    const auto replies = b.w.serial.LinesFromDevice(3);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].firstByteUs, c.endsUs.back() + 5000);  // the default reply delay
    EXPECT_EQ(replies[0].text, "14050912052672\r");
  }
}

TEST(SimSerial, OpenFailsForMissingHeldUnpluggedBusyPortsAndBadSettings) {
  World w;
  w.AddEmptyPorts(1, 2);
  CommTimeouts saved;
  EXPECT_EQ(w.serial.Open(9, "9600,N,8,1", {}, saved), 0);
  EXPECT_EQ(w.serial.Open(1, "0,N,8,1", {}, saved), 0);
  w.serial.HoldPort(1, true);
  EXPECT_EQ(w.serial.Open(1, "9600,N,8,1", {}, saved), 0);
  w.serial.Unplug(2);
  EXPECT_EQ(w.serial.Open(2, "9600,N,8,1", {}, saved), 0);
  w.serial.HoldPort(1, false);
  w.serial.Replug(2);
  EXPECT_GT(w.serial.Open(1, "9600,N,8,1", {}, saved), 0);
  EXPECT_EQ(w.serial.Open(1, "9600,N,8,1", {}, saved), 0);  // already open
  EXPECT_GT(w.serial.Open(2, "9600", {}, saved), 0);
  EXPECT_EQ(w.serial.OpenSettings(2), "9600");
  EXPECT_EQ(w.serial.OpenAttempts(1), 4);
}

TEST(SimSerial, OpenAppliesTheTimeoutsAndCloseRestoresThePortsOwn) {
  World w;
  const CommTimeouts own{1, 2, 3, 4, 5};
  const CommTimeouts program{0xFFFFFFFF, 0, 0, 2, 5};
  w.serial.SetPortTimeouts(4, own);
  CommTimeouts saved;
  const CommHandle h = w.serial.Open(4, "9600,N,8,1", program, saved);
  EXPECT_EQ(saved, own);
  EXPECT_EQ(w.serial.LastTimeoutsSet(4), program);
  EXPECT_EQ(w.serial.PortTimeouts(4), program);
  EXPECT_TRUE(w.serial.Close(h, saved));
  EXPECT_FALSE(w.serial.Close(h, saved));
  EXPECT_EQ(w.serial.PortTimeouts(4), own);
  EXPECT_EQ(w.serial.TimeoutsRestoredAtClose(4), own);
  EXPECT_FALSE(w.serial.IsOpen(4));
}

TEST(SimSerial, ReadHandsOverOnlyWhatHasArrivedPurgeKeepsBytesInFlightAndCloseKeepsInput) {
  LineBench b({.letter = 'W'});
  b.w.serial.Write(b.handle, "QT\r");
  EXPECT_EQ(b.w.serial.Read(b.handle, 1), "");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 5000 + 4 * 1042);  // four reply bytes have landed
  EXPECT_EQ(b.w.serial.InputCount(b.handle), 4);
  EXPECT_EQ(b.w.serial.Read(b.handle, 1), "1");
  b.w.serial.PurgeInput(b.handle);
  EXPECT_EQ(b.w.serial.InputCount(b.handle), 0);
  b.w.time.AdvanceTo(b.w.time.NowUs() + 100'000);
  EXPECT_EQ(b.w.serial.Read(b.handle, 1025), "0912052672\r");
  // As on a pseudo-terminal, unread input and what comes while the port is closed wait
  // for the next open.
  b.dev.SendRaw("A");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 10'000);
  b.w.serial.Close(b.handle, b.saved);
  b.dev.SendRaw("B");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 10'000);
  b.Reopen("9600,N,8,1");
  EXPECT_EQ(b.w.serial.Read(b.handle, 1025), "AB");
}

TEST(SimSerial, AnUnpluggedPortsHandleStaysDeadUntilReopened) {
  LineBench b({.letter = 'W'});
  b.w.serial.Unplug(3);
  EXPECT_EQ(b.w.serial.Write(b.handle, "P\r"), 0);
  b.dev.SendRaw("*\r");
  b.w.time.AdvanceTo(1'000'000);
  EXPECT_TRUE(b.dev.Commands().empty());
  EXPECT_EQ(b.w.serial.InputCount(b.handle), 0);
  b.w.serial.Replug(3);
  EXPECT_EQ(b.Ask("P\r"), "");
  b.Reopen("9600,N,8,1");
  EXPECT_EQ(b.Ask("P\r"), "*\r");
}

TEST(SimSerial, SidesAtDifferentSpeedsHearOnlyScrambledBytes) {
  LineBench b({.letter = 'W', .settings = "1200,N,8,1"});
  EXPECT_EQ(b.Ask("\r", 500), "");
  EXPECT_EQ(b.dev.GarbageHeard(), 1);
  EXPECT_TRUE(b.dev.Commands().empty());
  b.dev.SendRaw("?99\r");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 100'000);
  const std::string heard = b.w.serial.Read(b.handle, 1025);
  ASSERT_EQ(heard.size(), 4u);
  for (char c : heard) EXPECT_GE(static_cast<std::uint8_t>(c), 0x80);
  b.Reopen("1200,N,8,1");
  EXPECT_EQ(b.Ask("\r", 500), "?99\r");
}

TEST(SimSerial, AWriteThatOutlastsItsTimeoutKeepsOnlyTheBytesStartedInTime) {
  LineBench b({.letter = 'W', .settings = "1200,N,8,1"});
  b.w.serial.Close(b.handle, b.saved);
  b.handle = b.w.serial.Open(3, "1200,N,8,1", {0xFFFFFFFF, 0, 0, 8, 5}, b.saved);
  b.w.serial.SetEnforceWriteTimeout(true);
  // 17 bytes need 141.67 ms at 1200 baud; the time-out allows 17 x 8 + 5 = 141 ms, by which
  // the last byte is already on its way: the frame arrives whole, the write returns at 141 ms.
  EXPECT_EQ(b.w.serial.Write(b.handle, "T140509120526U?W\r"), 17);
  EXPECT_EQ(b.w.time.NowUs(), 141'000);
  b.w.time.AdvanceTo(500'000);
  ASSERT_EQ(b.dev.Commands().size(), 1u);
  // 41 bytes need 341.7 ms; by 8 x 41 + 5 = 333 ms the 41st has not started.
  EXPECT_EQ(b.w.serial.Write(b.handle, std::string(41, 'x')), 40);
  EXPECT_EQ(b.w.time.NowUs(), 833'000);
}

TEST(SimSerial, TheWireLogCutsEachDirectionIntoLinesTimedByTheirFirstByte) {
  LineBench b({.letter = 'W', .silent = true});
  b.Ask("P\r", 10);
  b.Ask("?000", 10);
  const std::vector<WireLine> expected{{0, "P\r"}, {12083, "?000"}};
  EXPECT_EQ(b.w.serial.LinesToDevice(3), expected);
  EXPECT_TRUE(b.w.serial.LinesFromDevice(3).empty());
}

TEST(SimSerial, TwoWorldsSideBySideShareNothing) {
  LineBench slow({.letter = 'W'});
  LineBench fast({.letter = 'A'});
  slow.w.time.AdvanceTo(60'000'000);
  EXPECT_EQ(fast.Ask("P\r"), "*\r");
  EXPECT_EQ(fast.w.time.NowUs(), 102'083);
  EXPECT_TRUE(slow.dev.Commands().empty());
  EXPECT_TRUE(slow.w.serial.WireLog().empty());
}

}  // namespace
}  // namespace horalign::sim
