#include "platform/win32/win32_serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/serial/serial_comm.h"

namespace horalign {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// scripts/test-windows.sh links a pseudo-terminal as this COM port, with a device behind it
// (tests/win32/serial_device.py) that echoes what it gets and answers "ID?" with "?99".
int TestPort() {
  const char* port = std::getenv("HORALIGN_TEST_COM");
  return port != nullptr ? std::atoi(port) : 0;
}

#define REQUIRE_TEST_PORT() \
  if (TestPort() == 0) GTEST_SKIP() << "needs HORALIGN_TEST_COM (scripts/test-windows.sh)"

constexpr CommTimeouts kImmediateReads{0xFFFFFFFFu, 0, 0, 2, 5};

HANDLE Raw(CommHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// What arrives within `limit`, up to `want` bytes.
std::string Collect(Win32SerialBackend& backend, CommHandle h, std::size_t want,
                    std::chrono::milliseconds limit = 3000ms) {
  std::string got;
  const auto end = SteadyClock::now() + limit;
  while (got.size() < want && SteadyClock::now() < end) {
    const std::string part = backend.Read(h, 1025);
    if (part.empty()) std::this_thread::sleep_for(2ms);
    got += part;
  }
  return got;
}

class Win32SerialTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle_ > 0) backend_.Close(handle_, saved_);
  }
  CommHandle OpenTestPort(const std::string& settings = "9600,N,8,1",
                          const CommTimeouts& timeouts = kImmediateReads) {
    handle_ = backend_.Open(TestPort(), settings, timeouts, saved_);
    return handle_;
  }

  Win32SerialBackend backend_;
  CommHandle handle_ = 0;
  CommTimeouts saved_;
};

TEST(CommDevicePath, NamesTheDeviceInTheDeviceNamespaceAlsoAboveNine) {
  EXPECT_EQ(CommDevicePath(3), "\\\\.\\COM3");
  EXPECT_EQ(CommDevicePath(12), "\\\\.\\COM12");
}

TEST_F(Win32SerialTest, OpeningAppliesTheTimeoutsAndTheSettingsText) {
  REQUIRE_TEST_PORT();
  // A pseudo-terminal keeps the baud rate and stop bits but always reports 8 data bits
  // without parity, so those two are not checked here.
  struct Case {
    const char* settings;
    DWORD baud;
    BYTE stopBits;
  };
  const Case cases[] = {
      {"9600,N,8,1", 9600, ONESTOPBIT},
      {"38400,N,8,1", 38400, ONESTOPBIT},
      {"1200,E,7,2", 1200, TWOSTOPBITS},
      {"2400,O,8,1", 2400, ONESTOPBIT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    const CommTimeouts wanted{0xFFFFFFFFu, 0, 0, 8, 5};
    ASSERT_GT(OpenTestPort(c.settings, wanted), 0);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(::GetCommTimeouts(Raw(handle_), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 8u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(::GetCommState(Raw(handle_), &dcb));
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.StopBits, c.stopBits);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);
    EXPECT_TRUE(backend_.Close(handle_, saved_));
    handle_ = 0;
  }
}

TEST_F(Win32SerialTest, ClosingPutsTheSavedTimeoutsBackBeforeReleasingThePort) {
  REQUIRE_TEST_PORT();
  ASSERT_GT(OpenTestPort(), 0);
  // A second handle on the same port object sees the time-outs after the backend let go.
  HANDLE observer = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), Raw(handle_), ::GetCurrentProcess(),
                                &observer, 0, FALSE, DUPLICATE_SAME_ACCESS));
  const CommTimeouts earlier{10, 20, 30, 40, 50};
  EXPECT_TRUE(backend_.Close(handle_, earlier));
  handle_ = 0;
  COMMTIMEOUTS t{};
  ASSERT_TRUE(::GetCommTimeouts(observer, &t));
  ::CloseHandle(observer);
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 20u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 30u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 40u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 50u);
}

TEST_F(Win32SerialTest, OpeningReportsThePortsEarlierTimeouts) {
  REQUIRE_TEST_PORT();
  HANDLE raw = ::CreateFileA(CommDevicePath(TestPort()).c_str(), GENERIC_READ | GENERIC_WRITE, 3,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS before{};
  ASSERT_TRUE(::GetCommTimeouts(raw, &before));
  ::CloseHandle(raw);
  ASSERT_GT(OpenTestPort(), 0);
  EXPECT_EQ(saved_,
            (CommTimeouts{before.ReadIntervalTimeout, before.ReadTotalTimeoutMultiplier,
                          before.ReadTotalTimeoutConstant, before.WriteTotalTimeoutMultiplier,
                          before.WriteTotalTimeoutConstant}));
}

TEST_F(Win32SerialTest, AReadOnAnIdleLineReturnsNothingAtOnce) {
  REQUIRE_TEST_PORT();
  ASSERT_GT(OpenTestPort(), 0);
  backend_.PurgeInput(handle_);
  const auto start = SteadyClock::now();
  EXPECT_EQ(backend_.Read(handle_, 1), "");
  EXPECT_LT(SteadyClock::now() - start, 200ms);
}

TEST_F(Win32SerialTest, BytesWrittenReachTheDeviceAndItsAnswerIsCountedThenPurged) {
  REQUIRE_TEST_PORT();
  ASSERT_GT(OpenTestPort(), 0);
  EXPECT_EQ(backend_.Write(handle_, "abcdef\r"), 7);
  const auto end = SteadyClock::now() + 3s;
  while (backend_.InputCount(handle_) < 7 && SteadyClock::now() < end) {
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(backend_.InputCount(handle_), 7);
  EXPECT_EQ(backend_.Read(handle_, 3), "abc");
  EXPECT_EQ(backend_.InputCount(handle_), 4);
  backend_.PurgeInput(handle_);
  EXPECT_EQ(backend_.InputCount(handle_), 0);
  EXPECT_EQ(backend_.Read(handle_, 10), "");
  backend_.PurgeOutput(handle_);  // nothing waits to go out; it must not disturb the port
  EXPECT_EQ(backend_.Write(handle_, "x\r"), 2);
  EXPECT_EQ(Collect(backend_, handle_, 2), "x\r");
}

TEST_F(Win32SerialTest, EveryByteValueTravelsUnchanged) {
  REQUIRE_TEST_PORT();
  ASSERT_GT(OpenTestPort(), 0);
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\r') bytes += static_cast<char>(b);
  }
  bytes += '\r';
  EXPECT_EQ(backend_.Write(handle_, bytes), static_cast<int>(bytes.size()));
  EXPECT_EQ(Collect(backend_, handle_, bytes.size()), bytes);
}

TEST(Win32SerialPortObject, ATextOf4096CharactersGoesOutWholeThroughThePortObject) {
  REQUIRE_TEST_PORT();
  Win32SerialBackend backend;
  clsSerialCommAPI port(backend);
  port.SetCommPort(TestPort());
  port.SetSettings("38400,N,8,1");
  port.SetPortOpen(true);
  ASSERT_TRUE(port.PortOpen());
  const std::string text = std::string(4095, 'x') + "\r";
  port.SetOutputData(text);
  std::string echoed;
  const auto end = SteadyClock::now() + 5s;
  while (echoed.size() < text.size() && SteadyClock::now() < end) {
    const std::string part = port.InputData(clsSerialCommAPI::kReadBufferSize);
    EXPECT_LE(part.size(), static_cast<std::size_t>(clsSerialCommAPI::kReadBufferSize));
    if (part.empty()) std::this_thread::sleep_for(2ms);
    echoed += part;
  }
  EXPECT_EQ(echoed, text);
  port.SetPortOpen(false);
  EXPECT_FALSE(port.PortOpen());
}

TEST(Win32SerialPortObject, ADeviceAnswersACommandAndTheSamePortOpensAgainAfterAClose) {
  REQUIRE_TEST_PORT();
  Win32SerialBackend backend;
  clsSerialCommAPI port(backend);
  port.SetCommPort(TestPort());
  port.SetSettings("9600,N,8,1");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    port.SetPortOpen(true);
    ASSERT_TRUE(port.PortOpen());
    port.SetInBufferCount(0);
    port.SetOutputData("ID?\r");
    std::string reply;
    const auto end = SteadyClock::now() + 3s;
    // One byte per read, as the port monitor reads.
    while (reply.find('\r') == std::string::npos && SteadyClock::now() < end) {
      const std::string c = port.InputData(1);
      if (c.empty()) std::this_thread::sleep_for(2ms);
      reply += c;
    }
    EXPECT_EQ(reply, "?99\r");
    port.SetPortOpen(false);
  }
}

TEST(Win32SerialRefusals, PortsThatDoNotExistOrRefuseTheSettingsStayClosed) {
  Win32SerialBackend backend;
  CommTimeouts saved{1, 1, 1, 1, 1};
  // COM9 is hidden in the test prefix; COM0 is no port at all.
  EXPECT_EQ(backend.Open(9, "9600,N,8,1", kImmediateReads, saved), 0);
  EXPECT_EQ(saved, CommTimeouts{});
  EXPECT_EQ(backend.Open(0, "9600,N,8,1", kImmediateReads, saved), 0);
  if (TestPort() == 0) return;
  EXPECT_EQ(backend.Open(TestPort(), "9600,Q,8,1", kImmediateReads, saved), 0);
  // The refused open left nothing behind: the port opens at once.
  const CommHandle h = backend.Open(TestPort(), "9600,N,8,1", kImmediateReads, saved);
  EXPECT_GT(h, 0);
  backend.Close(h, saved);
}

TEST(Win32SerialRefusals, CallsWithAHandleTheBackendDidNotOpenFailQuietly) {
  Win32SerialBackend backend;
  const CommHandle stranger = 0x1234;
  EXPECT_EQ(backend.Read(stranger, 1), "");
  EXPECT_EQ(backend.Write(stranger, "x"), 0);
  EXPECT_EQ(backend.InputCount(stranger), 0);
  backend.PurgeInput(stranger);
  backend.PurgeOutput(stranger);
  EXPECT_FALSE(backend.Close(stranger, {}));
  EXPECT_FALSE(backend.Close(0, {}));
}

}  // namespace
}  // namespace horalign
