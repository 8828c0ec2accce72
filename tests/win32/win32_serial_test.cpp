#include "platform/win32/win32_serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace horalign {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// scripts/test-windows.sh links a pseudo-terminal as this COM port, with a device behind it
// (tests/win32/serial_device.py) that echoes what it gets and answers "ID?" with "?99".
int TestPort() {
  return std::atoi(std::getenv("HORALIGN_TEST_COM") ? std::getenv("HORALIGN_TEST_COM") : "0");
}

CommTimeouts TimeoutsOf(HANDLE h) {
  COMMTIMEOUTS t{};
  EXPECT_TRUE(::GetCommTimeouts(h, &t));
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

// What arrives within 5 seconds, up to `want` bytes; no read gives more than it was asked.
std::string Collect(Win32SerialBackend& backend, CommHandle h, int perRead, std::size_t want) {
  std::string got;
  const auto end = SteadyClock::now() + 5s;
  while (got.size() < want && SteadyClock::now() < end) {
    const std::string part = backend.CommRead(h, perRead);
    EXPECT_LE(part.size(), static_cast<std::size_t>(perRead));
    if (part.empty()) std::this_thread::sleep_for(2ms);
    got += part;
  }
  return got;
}

// Per line setting: the port as the backend opens it, traffic both ways, and the port as
// the backend leaves it.
TEST(Win32Serial, OpensWithItsSettingsCarriesEveryByteAndClosesWithThePortsOwnTimeouts) {
  if (TestPort() == 0) GTEST_SKIP() << "needs HORALIGN_TEST_COM (scripts/test-windows.sh)";
  Win32SerialBackend backend;
  const CommTimeouts wanted{0xFFFFFFFFu, 0, 0, 8, 5}, earlier{10, 20, 30, 40, 50};
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\r') bytes += static_cast<char>(b);
  }
  bytes += '\r';
  const int size = static_cast<int>(bytes.size());
  // The longest text the program sends, not cut short by the write time-out.
  const std::string longest = bytes + std::string(4095 - bytes.size(), 'x') + "\r";
  // A pseudo-terminal keeps the baud rate and stop bits but always reports 8 data bits
  // without parity, so those two are not checked here.
  const struct {
    const char* settings;
    DWORD baud;
    BYTE stopBits;
  } rows[] = {{"9600,N,8,1", 9600, ONESTOPBIT}, {"1200,E,7,2", 1200, TWOSTOPBITS}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings);
    // The time-outs the port had are saved, but under Wine every open starts without any, so
    // they cannot be told from none here.
    CommTimeouts saved;
    CommHandle h = 0;
    ASSERT_TRUE(backend.CommOpen(TestPort(), row.settings, wanted, h, saved));
    HANDLE raw = reinterpret_cast<HANDLE>(h);
    EXPECT_EQ(TimeoutsOf(raw), wanted);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(::GetCommState(raw, &dcb));
    EXPECT_EQ(dcb.BaudRate, row.baud);
    EXPECT_EQ(dcb.StopBits, row.stopBits);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);

    EXPECT_EQ(backend.CommWrite(h, bytes), size);
    const auto end = SteadyClock::now() + 3s;
    while (backend.CommInputCount(h) < size && SteadyClock::now() < end) {
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(backend.CommInputCount(h), size);
    EXPECT_EQ(backend.CommRead(h, 3), bytes.substr(0, 3));
    EXPECT_EQ(backend.CommInputCount(h), size - 3);
    backend.CommPurgeInput(h);
    EXPECT_EQ(backend.CommInputCount(h), 0);
    const auto start = SteadyClock::now();
    EXPECT_EQ(backend.CommRead(h, 10), "");  // on an idle line, at once
    EXPECT_LT(SteadyClock::now() - start, 200ms);
    backend.CommPurgeOutput(h);  // nothing waits to go out; it must not disturb the port
    EXPECT_EQ(backend.CommWrite(h, longest), static_cast<int>(longest.size()));
    EXPECT_EQ(Collect(backend, h, 1025, longest.size()), longest);
    EXPECT_EQ(backend.CommWrite(h, "ID?\r"), 4);
    EXPECT_EQ(Collect(backend, h, 1, 4), "?99\r");  // one byte per read, as the port monitor reads

    // A second handle on the same port object sees the time-outs after the backend let go.
    HANDLE observer = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), raw, ::GetCurrentProcess(), &observer, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(backend.CommClose(h, earlier));
    EXPECT_EQ(TimeoutsOf(observer), earlier);
    ::CloseHandle(observer);
  }
}

TEST(Win32SerialRefusals, MissingPortsRefusedSettingsAndStrangeHandlesFailQuietly) {
  EXPECT_EQ(CommDevicePath(12), "\\\\.\\COM12");  // the device namespace reaches COM10 and up
  Win32SerialBackend backend;
  CommTimeouts saved;
  // COM0 is no port at all (a hidden one, COM9, is refused in the installer test's scan).
  CommHandle h = 1;
  EXPECT_FALSE(backend.CommOpen(0, "9600,N,8,1", {}, h, saved));
  EXPECT_EQ(h, 0);
  // A handle this backend did not open.
  EXPECT_EQ(backend.CommRead(0x1234, 1), "");
  EXPECT_EQ(backend.CommWrite(0x1234, "x"), 0);
  EXPECT_FALSE(backend.CommClose(0x1234, {}));
  if (TestPort() == 0) return;
  EXPECT_FALSE(backend.CommOpen(TestPort(), "9600,Q,8,1", {}, h, saved));
  // The refused open left nothing behind: the port opens at once.
  EXPECT_TRUE(backend.CommOpen(TestPort(), "9600,N,8,1", {}, h, saved));
  EXPECT_TRUE(backend.CommClose(h, saved));
}

}  // namespace
}  // namespace horalign
