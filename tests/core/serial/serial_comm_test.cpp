#include "core/serial/serial_comm.h"

#include <gtest/gtest.h>

#include <string>

#include "core/serial/delay.h"
#include "core/serial/line_settings.h"
#include "sim/world.h"

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
              {"2147483647,N,8,1", 2, LineSettings{2147483647, 'N', 8, 1}},  // no overflow
              {"9600", 28, LineSettings{9600, 'N', 8, 1}},                   // no comma: 28 ms
              {"0,N,8,1", {}, {}},
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

// Against a simulated line whose device answers every command with 1999 characters.
TEST(SerialPort, ReadsAtOnceWhatHasArrivedSendsWholeTextsAndIsNeutralWhenClosed) {
  sim::World w;
  w.AddDevice(3, {.fixedReply = std::string(1999, 'z')});
  clsSerialCommAPI serial(w.serial);
  serial.SetCommPort(65536 + 3);  // kept as 16 bits
  serial.SetSettings("9600,N,8,1");
  EXPECT_EQ(serial.InputData(1) + std::to_string(serial.InBufferCount()), "0") << "closed";
  serial.SetPortOpen(true);
  EXPECT_EQ(w.serial.LastTimeoutsSet(3), (CommTimeouts{0xFFFFFFFF, 0, 0, 2, 5}));
  for (const auto& text : {std::string(4097, 'B'), std::string(), std::string("Q\r")}) {
    serial.SetOutputData(text);
  }
  EXPECT_EQ(w.serial.LinesToDevice(3).at(0).text, "Q\r") << "and nothing else";
  w.time.AdvanceTo(w.time.NowUs() + 3'000'000);
  EXPECT_EQ(serial.InputData(5000).size() + serial.InputData(0).size(), 1025u);
  serial.SetInBufferCount(5);
  EXPECT_EQ(serial.InBufferCount(), 975) << "only a count of zero discards";
}

// The counter runs from 1 to the largest 32-bit value and starts again at 1; a delay of n
// ticks expires at the tick after the nth, across the wrap as anywhere else.
TEST(Delay, CountsTicksAcrossTheCountersWrapAsAnywhereElse) {
  std::int32_t ticks = kDelayTicksMax - 1;
  clsDelay delay(ticks);
  delay.InitDelay(2);
  for (int tick = 0; tick < 3; ++tick, AdvanceDelayTicks(ticks)) EXPECT_FALSE(delay.DelayExpired());
  EXPECT_EQ(ticks, 2);
  EXPECT_TRUE(delay.DelayExpired());
  ticks = kDelayTicksMax - 2;  // a whole period of the counter, less one tick, after arming
  EXPECT_EQ(delay.CurrentValue(), kDelayTicksMax - 1);
  EXPECT_TRUE(delay.DelayExpired()) << "until armed again";
}

}  // namespace
}  // namespace horalign
