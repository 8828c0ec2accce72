#include "core/serial/serial_comm.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "core/serial/delay.h"
#include "core/serial/line_settings.h"

namespace horalign {
namespace {

// The write time-out per byte follows the baud rate before the first comma; the other
// parts must be ones a port can take.
TEST(LineSettings, GiveTheWriteTimeoutPerByteAndRefuseWhatAPortCannotTake) {
  const struct {
    const char* settings;
    std::optional<std::uint32_t> ms;
    std::optional<LineSettings> line;
  } rows[] = {{"9600,N,8,1", 2, LineSettings{9600, 'N', 8, 1}},
              {" 1200 , e , 7 , 2 ", 8, LineSettings{1200, 'E', 7, 2}},
              {"2400,O", 5, LineSettings{2400, 'O', 8, 1}},
              {"300,M,5", 28, LineSettings{300, 'M', 5, 1}},
              {"1,S,6,1", 8001, LineSettings{1, 'S', 6, 1}},
              {"1000,N,8,1", 9, LineSettings{1000, 'N', 8, 1}},  // 8.5 ms rounds to the even 8
              {"9600", 28, LineSettings{9600, 'N', 8, 1}},       // no comma: 28 ms
              {"2147483647,N", 2, LineSettings{2147483647, 'N', 8, 1}},
              {"", 28, {}},
              {"0,N,8,1", {}, {}},
              {"-300,N,8,1", {}, {}},
              {"abc,N,8,1", {}, {}},
              {"9600,X,8,1", 2, {}},
              {"9600,NN,8,1", 2, {}},
              {"9600,N,9,1", 2, {}},
              {"9600,N,4,1", 2, {}},
              {"9600,N,8,3", 2, {}},
              {"9600,N,8,1,0", 2, {}}};
  for (const auto& row : rows) {
    EXPECT_EQ(clsSerialCommAPI::WriteMultiplierMs(row.settings), row.ms) << row.settings;
    EXPECT_EQ(ParseLineSettings(row.settings), row.line) << row.settings;
  }
}

// Records what reaches the port; reads give as many bytes as asked of `pending`.
struct FakeBackend : SerialBackend {
  CommHandle Open(int port, const std::string&, const CommTimeouts& t,
                  CommTimeouts& saved) override {
    opened = port;
    timeouts = t;
    saved = CommTimeouts{1, 2, 3, 4, ++opens};
    return handle;
  }
  bool Close(CommHandle h, const CommTimeouts& saved) override {
    closed.emplace_back(h, saved.writeTotalTimeoutConstant);
    return true;
  }
  std::string Read(CommHandle, int n) override { return pending.substr(0, n); }
  int Write(CommHandle, std::string_view bytes) override {
    written += std::string(bytes) + "|";
    return static_cast<int>(bytes.size());
  }
  void PurgeInput(CommHandle) override { purged += "in "; }
  void PurgeOutput(CommHandle) override { purged += "out "; }
  int InputCount(CommHandle) override { return count; }

  int opened = 0, count = -1;
  std::uint32_t opens = 0;
  CommHandle handle = 7;
  CommTimeouts timeouts;
  std::vector<std::pair<CommHandle, std::uint32_t>> closed;  // handle, which open's time-outs
  std::string pending = std::string(2000, 'z'), written, purged;
};

TEST(SerialPort, OpensForReadsThatReturnAtOnceAndEveryCallOnAClosedPortIsNeutral) {
  FakeBackend backend;
  {
    clsSerialCommAPI serial(backend);
    serial.SetCommPort(65536 + 3);  // kept as 16 bits
    serial.SetSettings("2400,N,8,1");
    serial.SetPortOpen(true);
    EXPECT_EQ(backend.opened, 3);
    EXPECT_EQ(backend.timeouts, (CommTimeouts{0xFFFFFFFF, 0, 0, 5, 5}));
    EXPECT_EQ(serial.InputData(5000).size(), 1025u);
    EXPECT_EQ(serial.InputData(1) + serial.InputData(0) + serial.InputData(-1), "z");
    EXPECT_EQ(serial.InBufferCount(), 0) << "a negative count";
    for (const std::string& text : {std::string(4096, 'A'), std::string(), std::string(4097, 'B')}) {
      serial.SetOutputData(text);
    }
    EXPECT_EQ(backend.written, std::string(4096, 'A') + "|");
    EXPECT_EQ(serial.LastOutput(), std::string(4097, 'B'));
    for (const int count : {5, 0}) serial.SetInBufferCount(count), serial.SetOutBufferCount(count);
    EXPECT_EQ(backend.purged + std::to_string(serial.OutBufferCount()), "in out 0");
    backend.handle = 8;
    serial.SetPortOpen(true);  // an open port is closed before it opens again
    backend.handle = 0;
    serial.SetPortOpen(true);
    EXPECT_FALSE(serial.PortOpen());
    serial.SetSettings("0,N,8,1");  // a baud rate of zero never reaches the port
    backend.handle = 9;
    serial.SetPortOpen(true);
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_EQ(serial.InputData(1) + std::to_string(serial.InBufferCount()), "0");
    serial.SetOutputData("x");
    serial.SetInBufferCount(0);
    serial.SetSettings("9600");
    serial.SetPortOpen(true);
  }
  EXPECT_EQ(backend.opens, 4u);
  EXPECT_EQ(backend.closed,
            (std::vector<std::pair<CommHandle, std::uint32_t>>{{7, 1}, {8, 2}, {9, 4}}));
  EXPECT_EQ(backend.written + backend.purged, std::string(4096, 'A') + "|in out ");
}

// Ticks the counter until the delay reports expired; returns how many ticks that took.
int TicksUntilExpired(std::int32_t& ticks, clsDelay& delay) {
  for (int n = 0; n < 100; ++n, AdvanceDelayTicks(ticks)) {
    if (delay.DelayExpired()) return n;
  }
  return -1;
}

static_assert(!std::is_constructible_v<clsDelay, std::int32_t>, "a delay needs a live counter");

// The counter runs from 1 to the largest 32-bit value and starts again at 1 (0 only before
// the first tick); a delay counts across the wrap as anywhere else.
TEST(Delay, ADelayOfNTicksExpiresAtTheTickAfterTheNthAndStaysExpiredUntilArmedAgain) {
  for (const std::int32_t armedAt :
       {0, 500, kDelayTicksMax - 25, kDelayTicksMax - 20, kDelayTicksMax}) {
    for (const std::int32_t n : {-1, 0, 1, 40}) {
      std::int32_t ticks = armedAt;
      clsDelay delay(ticks);
      delay.InitDelay(n);
      EXPECT_EQ(delay.CurrentValue(), 0);
      EXPECT_EQ(TicksUntilExpired(ticks, delay), n + 1) << "armed at " << armedAt << ", " << n;
      EXPECT_EQ(delay.CurrentValue(), n + 1);
      AdvanceDelayTicks(ticks);
      EXPECT_TRUE(delay.DelayExpired());
    }
  }
  std::int32_t ticks = 10;
  clsDelay delay(ticks);
  delay.InitDelay(5);
  ticks = 9;  // a whole period of the counter, less one tick, later
  EXPECT_EQ(delay.CurrentValue(), kDelayTicksMax - 1);
  delay.InitDelay(5);
  EXPECT_FALSE(delay.DelayExpired());
  delay.SetDelayExpired(true);
  EXPECT_TRUE(delay.DelayExpired());
}

}  // namespace
}  // namespace horalign
