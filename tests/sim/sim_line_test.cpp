#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/world.h"

// What the core tests take on trust from the simulated line and devices: where a fault here
// would hide a fault of the program instead of showing it. The devices' plain answers are
// exercised by every core test and are not repeated.
namespace horalign::sim {
namespace {

// A world with one device on COM 3 and the port opened as the program opens it.
struct LineBench {
  explicit LineBench(SimDeviceConfig config = {}, const std::string& settings = "9600,N,8,1")
      : dev(w.AddDevice(3, std::move(config))) {
    w.serial.SetEnforceWriteTimeout(false);  // the time-outs below suit 9600 baud only
    Reopen(settings);
  }
  void Reopen(const std::string& settings,
              const CommTimeouts& timeouts = {0xFFFFFFFF, 0, 0, 2, 5}) {
    if (handle != 0) w.serial.CommClose(handle, saved);
    w.serial.CommOpen(3, settings, timeouts, handle, saved);
  }
  // Sends the frame, lets waitMs pass and returns everything that arrived.
  std::string Ask(std::string_view frame, std::int64_t waitMs = 100) {
    w.serial.CommWrite(handle, frame);
    w.time.AdvanceTo(w.time.NowUs() + waitMs * 1000);
    return w.serial.CommRead(handle, 1025);
  }
  World w;
  SimDevice& dev;
  CommTimeouts saved;
  CommHandle handle = 0;
};

// Bytes take their bits over the baud rate without rounding drift, both ways. (The reply
// delay and the wire log's times are held by the core tests' timings.)
TEST(SimLine, EveryByteTakesItsBitTimesAtTheRealRate) {
  struct Case {
    const char* settings;
    std::int64_t threeBytesUs;  // "QT" CR written
    std::int64_t fourBytesUs;   // the first four reply bytes in
  };
  for (const Case& c : {Case{"9600,N,8,1", 3125, 4166}, Case{"1200,N,8,1", 25000, 33333},
                        Case{"1200,E,8,2", 30000, 40000}}) {
    LineBench b({.settings = c.settings}, c.settings);
    EXPECT_EQ(b.w.serial.CommWrite(b.handle, "QT\r"), 3);
    EXPECT_EQ(b.w.time.NowUs(), c.threeBytesUs) << c.settings;
    b.w.time.AdvanceTo(c.threeBytesUs + 5000 + c.fourBytesUs - 1);
    EXPECT_EQ(b.w.serial.CommInputCount(b.handle), 3) << c.settings;
    b.w.time.AdvanceTo(c.threeBytesUs + 5000 + c.fourBytesUs);
    EXPECT_EQ(b.w.serial.CommRead(b.handle, 1025), "1405") << c.settings;
  }
}

// A device refuses what the program must never send it; a lenient one would let a wrong
// frame pass for a set clock.
TEST(SimLine, DevicesRefuseFramesThatAreNotTheirOwn) {
  for (const auto& [letter, frame] :
       {std::pair{'A', "T140509120526U?W\r"}, std::pair{'A', "PT245000\r"},
        std::pair{'A', "PD0230267\r"}, std::pair{'A', "QT\r"}, std::pair{'W', "\nP\r"}}) {
    LineBench b({.letter = letter});
    EXPECT_EQ(b.Ask(frame), "?99\r") << frame;
  }
}

// As on a pseudo-terminal: a purge drops only what has landed, and unread input as well as
// what comes while the port is closed waits for the next open.
TEST(SimLine, InputOutlivesAPurgeOfWhatIsInFlightAndACloseButNotAnUnplug) {
  LineBench b;
  b.w.serial.CommWrite(b.handle, "QT\r");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 5000 + 4 * 1042);
  b.w.serial.CommPurgeInput(b.handle);
  b.w.time.AdvanceTo(b.w.time.NowUs() + 100'000);
  EXPECT_EQ(b.w.serial.CommRead(b.handle, 3), "091");
  b.w.serial.CommClose(b.handle, b.saved);
  b.dev.SendRaw("B");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 10'000);
  b.Reopen("9600,N,8,1");
  EXPECT_EQ(b.w.serial.CommRead(b.handle, 1025), "2052672\rB");
  b.dev.SendRaw("lost");
  b.w.time.AdvanceTo(b.w.time.NowUs() + 10'000);
  b.w.serial.Unplug(3);
  EXPECT_EQ(b.w.serial.CommWrite(b.handle, "P\r"), 0);
  b.w.serial.Replug(3);
  EXPECT_EQ(b.Ask("P\r"), "") << "an unplugged handle stays dead";
  EXPECT_EQ(b.dev.Commands().size(), 1u);
  b.Reopen("9600,N,8,1");
  EXPECT_EQ(b.Ask("P\r"), "*\r");
}

TEST(SimLine, SidesAtDifferentSpeedsHearOnlyScrambledBytes) {
  LineBench b({.settings = "1200,N,8,1"});
  b.dev.SendRaw("?99\r");
  const std::string heard = b.Ask("\r", 500);
  EXPECT_EQ(heard.size(), 4u);
  for (char c : heard) EXPECT_GE(static_cast<std::uint8_t>(c), 0x80);
  b.Reopen("1200,N,8,1");
  EXPECT_EQ(b.Ask("\r", 500), "?99\r");
}

TEST(SimLine, AWriteThatOutlastsItsTimeoutKeepsOnlyTheBytesStartedInTime) {
  LineBench b({.settings = "1200,E,8,2"});  // 12 bits: 10 ms a byte
  b.Reopen("1200,E,8,2", {0xFFFFFFFF, 0, 0, 9, 10});
  b.w.serial.SetEnforceWriteTimeout(true);
  // 17 bytes need 170 ms; by the time-out of 17 x 9 + 10 = 163 ms the last one has started:
  // the frame arrives whole, the write returns at 163 ms.
  EXPECT_EQ(b.w.serial.CommWrite(b.handle, "T140509120526U?W\r"), 17);
  EXPECT_EQ(b.w.time.NowUs(), 163'000);
  b.w.time.AdvanceTo(500'000);
  EXPECT_EQ(b.dev.Commands().size(), 1u);
  // 41 bytes need 410 ms; by 9 x 41 + 10 = 379 ms only 38 have started.
  EXPECT_EQ(b.w.serial.CommWrite(b.handle, std::string(41, 'x')), 38);
  EXPECT_EQ(b.w.time.NowUs(), 879'000);
}

TEST(SimLine, AFloodRunsAtFullLineSpeedForItsDuration) {
  LineBench b;
  b.dev.Flood(1'000'000, "ab");
  b.w.time.AdvanceTo(500'000);
  EXPECT_EQ(b.w.serial.CommInputCount(b.handle), 480);
  b.w.time.AdvanceTo(2'000'000);
  EXPECT_EQ(b.w.serial.CommInputCount(b.handle), 960);
}

}  // namespace
}  // namespace horalign::sim
