#include "core/serial/serial_comm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace horalign {
namespace {

std::string Text(const CommTimeouts& t) {
  return std::to_string(t.readIntervalTimeout) + "," +
         std::to_string(t.readTotalTimeoutMultiplier) + "," +
         std::to_string(t.readTotalTimeoutConstant) + "," +
         std::to_string(t.writeTotalTimeoutMultiplier) + "," +
         std::to_string(t.writeTotalTimeoutConstant);
}

// Logs every call as a line of text and answers as the test sets it up.
struct LogBackend : SerialBackend {
  CommHandle Open(int port, const std::string& settings, const CommTimeouts& timeouts,
                  CommTimeouts& saved) override {
    Log("open COM" + std::to_string(port) + " " + settings + " " + Text(timeouts));
    saved = earlier;
    return nextHandle;
  }
  bool Close(CommHandle h, const CommTimeouts& saved) override {
    Log("close " + std::to_string(h) + " " + Text(saved));
    return true;
  }
  std::string Read(CommHandle h, int maxBytes) override {
    Log("read " + std::to_string(h) + " " + std::to_string(maxBytes));
    return pending.substr(0, static_cast<std::size_t>(maxBytes));
  }
  int Write(CommHandle h, std::string_view bytes) override {
    Log("write " + std::to_string(h) + " " + std::to_string(bytes.size()));
    written = bytes;
    return static_cast<int>(bytes.size());
  }
  void PurgeInput(CommHandle h) override { Log("purge in " + std::to_string(h)); }
  void PurgeOutput(CommHandle h) override { Log("purge out " + std::to_string(h)); }
  int InputCount(CommHandle h) override {
    Log("count " + std::to_string(h));
    return static_cast<int>(pending.size());
  }
  void Log(std::string line) { calls.push_back(std::move(line)); }

  CommHandle nextHandle = 7;
  CommTimeouts earlier{10, 20, 30, 40, 50};
  std::string pending;
  std::string written;
  std::vector<std::string> calls;
};

using Calls = std::vector<std::string>;

struct SerialPort : ::testing::Test {
  void OpenAt(int port, const std::string& settings) {
    serial.SetCommPort(port);
    serial.SetSettings(settings);
    serial.SetPortOpen(true);
  }
  LogBackend backend;
  clsSerialCommAPI serial{backend};
};

TEST(WriteMultiplier, FollowsTheBaudRateBeforeTheFirstComma) {
  const struct {
    const char* settings;
    std::optional<std::uint32_t> ms;
  } cases[] = {
      {"9600,N,8,1", 2u}, {"38400,N,8,1", 2u}, {"2400,N,8,1", 5u}, {"1200,N,8,1", 8u},
      {"300,N,8,1", 28u}, {"9600", 28u},       {"", 28u},          {"2147483647,N", 2u},
      {"0,N,8,1", {}},    {"abc,N,8,1", {}},   {",N,8,1", {}},     {"-300,N,8,1", {}},
      {"1000,N,8,1", 9u},  // 8.5 ms rounds to the even 8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clsSerialCommAPI::WriteMultiplierMs(c.settings), c.ms) << c.settings;
  }
}

TEST_F(SerialPort, OpensWithReadsThatReturnAtOnceAndClosesWithTheEarlierTimeouts) {
  OpenAt(3, "9600,N,8,1");
  EXPECT_TRUE(serial.PortOpen());
  serial.SetCommPort(65536 + 4);  // kept as 16 bits, used at the next open only
  serial.SetSettings("9600");
  serial.SetPortOpen(false);
  serial.SetPortOpen(false);
  EXPECT_FALSE(serial.PortOpen());
  backend.nextHandle = 8;
  backend.earlier = {1, 2, 3, 4, 5};
  serial.SetPortOpen(true);
  serial.SetOutputData("x");
  EXPECT_EQ(backend.calls,
            (Calls{"open COM3 9600,N,8,1 4294967295,0,0,2,5", "close 7 10,20,30,40,50",
                   "open COM4 9600 4294967295,0,0,28,5", "write 8 1"}));
  serial.SetPortOpen(true);  // an open port is closed before it opens again
  EXPECT_EQ(backend.calls.at(4), "close 8 1,2,3,4,5");
}

TEST(SerialPortLifetime, DestroyingAnOpenPortClosesIt) {
  LogBackend backend;
  {
    clsSerialCommAPI serial{backend};
    serial.SetCommPort(5);
    serial.SetSettings("9600,N,8,1");
    serial.SetPortOpen(true);
  }
  EXPECT_EQ(backend.calls.back(), "close 7 10,20,30,40,50");
}

TEST_F(SerialPort, AFailedOpenLeavesThePortClosedAndEveryOperationNeutral) {
  backend.nextHandle = 0;
  backend.pending = "abc";
  for (const char* settings : {"9600,N,8,1", "0,N,8,1", "x,N,8,1"}) {
    OpenAt(1, settings);
    EXPECT_FALSE(serial.PortOpen()) << settings;
  }
  EXPECT_EQ(serial.InputData(1), "");
  EXPECT_EQ(serial.InBufferCount(), 0);
  serial.SetOutputData("hello");
  serial.SetInBufferCount(0);
  serial.SetOutBufferCount(0);
  serial.SetPortOpen(false);
  // A baud rate of zero or no number never reaches the port.
  EXPECT_EQ(backend.calls, (Calls{"open COM1 9600,N,8,1 4294967295,0,0,2,5"}));
}

TEST_F(SerialPort, WritesSendTextsOfOneTo4096CharactersWholeAndNothingElse) {
  OpenAt(1, "9600,N,8,1");
  const std::string full(4096, 'A');
  serial.SetOutputData(full);
  serial.SetOutputData("");
  serial.SetOutputData(std::string(4097, 'B'));
  EXPECT_EQ(backend.calls.size(), 2u);
  EXPECT_EQ(backend.written, full);
  EXPECT_EQ(serial.LastOutput(), std::string(4097, 'B'));
}

TEST_F(SerialPort, ReadsAskForAtMostTheReadBufferAndOnlyACountOfZeroPurges) {
  OpenAt(1, "9600,N,8,1");
  backend.pending = std::string(2000, 'z');
  EXPECT_EQ(serial.InputData(1), "z");
  EXPECT_EQ(serial.InputData(5000).size(), 1025u);
  EXPECT_EQ(serial.InputData(0), "");
  EXPECT_EQ(serial.InputData(-1), "");
  EXPECT_EQ(serial.InBufferCount(), 2000);
  serial.SetInBufferCount(5);
  serial.SetOutBufferCount(5);
  EXPECT_EQ(serial.OutBufferCount(), 0);
  serial.SetInBufferCount(0);
  serial.SetOutBufferCount(0);
  EXPECT_EQ(backend.calls, (Calls{"open COM1 9600,N,8,1 4294967295,0,0,2,5", "read 7 1",
                                  "read 7 1025", "count 7", "purge in 7", "purge out 7"}));
}

}  // namespace
}  // namespace horalign
