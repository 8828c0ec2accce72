#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/app/app_config.h"
#include "core/device/paging.h"
#include "core/serial/delay.h"
#include "core/serial/serial_comm.h"
#include "platform/posix/posix_serial.h"
#include "sim/virtual_loop.h"
#include "sim/virtual_time.h"

namespace horalign {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The device's end of a pseudo-terminal; the slave's path stands for the COM port.
struct Device {
  Device() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    path = name;
  }
  ~Device() { Vanish(); }
  void Vanish() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  std::string Read(std::size_t want) const {
    std::string got;
    for (int i = 0; i < 1000 && got.size() < want; ++i) {
      char buf[64];
      const ssize_t n = ::read(master, buf, std::min(sizeof buf, want - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      if (n <= 0) std::this_thread::sleep_for(1ms);
    }
    return got;
  }

  int master = -1;
  std::string path;
};

struct FaultPty : ::testing::Test {
  FaultPty() { ::fcntl(device->master, F_SETFL, O_NONBLOCK); }

  std::unique_ptr<Device> device = std::make_unique<Device>();
  std::string portPath = device->path;
  PosixSerialBackend backend{[this](int port) { return port == 1 ? portPath : ""; }};
  clsSerialCommAPI serial{backend};
};

TEST_F(FaultPty, ADeviceVanishingDuringAWriteEndsItAndThePortReadsNothingAfter) {
  serial.SetCommPort(1);
  serial.SetSettings("9600,N,8,1");
  serial.SetPortOpen(true);
  ASSERT_TRUE(serial.PortOpen());
  // The device reads nothing, so the terminal's buffer fills and a write blocks (its
  // time-out at 9600 baud is over 8 s) until the device goes away.
  std::atomic<bool> gone = false;
  std::thread pull([&] {
    std::this_thread::sleep_for(200ms);
    device->Vanish();
    gone = true;
  });
  const std::string block(4096, 'x');
  const auto start = SteadyClock::now();
  for (int i = 0; i < 64 && !gone; ++i) serial.SetOutputData(block);
  const auto took = SteadyClock::now() - start;
  pull.join();
  EXPECT_LT(took, 3s);

  EXPECT_EQ(serial.InputData(1), "");
  EXPECT_EQ(serial.InBufferCount(), 0);
  serial.SetOutputData("P\r");  // goes nowhere, and returns
  EXPECT_EQ(serial.InputData(1), "");

  // The program's own checks see a silent line: the probe fails, in virtual time.
  sim::VirtualTime time;
  sim::VirtualLoop loop(time);
  AppConfig config;
  std::int32_t delayTicks = 0;
  QV_Paging paging(serial, loop, delayTicks, config);
  auto tick = loop.CreateTimer(50, true, [&] {
    AdvanceDelayTicks(delayTicks);
    paging.ContinueCollecting();
  });
  auto poll = loop.CreateTimer(500, true, [&] { paging.PollSerialInput(); });
  EXPECT_FALSE(paging.ProbeDevice());
  EXPECT_EQ(paging.ReplyLine, "");
  EXPECT_TRUE(paging.ReceiverIdle);

  // The vanished port cannot be opened again; a new device on a new terminal can.
  serial.SetPortOpen(false);
  serial.SetPortOpen(true);
  EXPECT_FALSE(serial.PortOpen());
  Device replacement;
  ::fcntl(replacement.master, F_SETFL, O_NONBLOCK);
  portPath = replacement.path;
  serial.SetPortOpen(true);
  ASSERT_TRUE(serial.PortOpen());
  serial.SetOutputData("P\r");
  EXPECT_EQ(replacement.Read(2), "P\r");
  ASSERT_EQ(::write(replacement.master, "*\r", 2), 2);
  std::string got;
  for (int i = 0; i < 1000 && got.size() < 2; ++i) {
    got += serial.InputData(1);
    if (got.size() < 2) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(got, "*\r");
}

// A terminal keeps unread input across a close and reopen: what a device said too late for
// one exchange must be gone when the port is opened for the next.
TEST_F(FaultPty, InputLeftOnTheTerminalIsGoneAfterOpenPort) {
  sim::VirtualTime time;
  sim::VirtualLoop loop(time);
  AppConfig config;
  std::int32_t delayTicks = 0;
  QV_Paging paging(serial, loop, delayTicks, config);
  paging.OpenPort(serial, 1, "9600,N,8,1");
  ASSERT_TRUE(serial.PortOpen());
  ASSERT_EQ(::write(device->master, "*\r", 2), 2);
  for (int i = 0; i < 1000 && serial.InBufferCount() < 2; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(serial.InBufferCount(), 2);
  paging.OpenPort(serial, 1, "38400,N,8,1");
  ASSERT_TRUE(serial.PortOpen());
  EXPECT_EQ(serial.InBufferCount(), 0);
  EXPECT_EQ(serial.InputData(2), "");
}

}  // namespace
}  // namespace horalign
