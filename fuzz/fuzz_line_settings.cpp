// Settings texts as the port object reads them: the line settings and the write time-out.
#include <string>

#include "core/serial/line_settings.h"
#include "core/serial/serial_comm.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

FUZZ_TARGET(in) {
  const int baud = in.ConsumeIntegralInRange<int>(1, 0x7FFFFFFE);
  const std::string text = in.ConsumeRemainingBytesAsString();

  const auto line = ParseLineSettings(text);
  if (line) {
    FUZZ_CHECK(line->baud > 0);
    FUZZ_CHECK(std::string("NEOMS").find(line->parity) != std::string::npos);
    FUZZ_CHECK(line->dataBits >= 5 && line->dataBits <= 8);
    FUZZ_CHECK(line->stopBits == 1 || line->stopBits == 2);
    // Written out in the usual shape, it reads back the same.
    FUZZ_CHECK(ParseLineSettings(std::to_string(line->baud) + "," + line->parity + "," +
                                 std::to_string(line->dataBits) + "," +
                                 std::to_string(line->stopBits)) == line);
  }

  // A text without a comma has the default time-out, one the line takes always has one.
  const auto multiplier = clsSerialCommAPI::WriteMultiplierMs(text);
  if (text.find(',') == std::string::npos) FUZZ_CHECK(multiplier == 28u);
  if (line) FUZZ_CHECK(multiplier.has_value());
  if (multiplier) FUZZ_CHECK(*multiplier >= 2 && *multiplier <= 8002);

  // The time-out per byte never grows with the speed, and is 2 ms from 9600 baud up.
  const auto slower = clsSerialCommAPI::WriteMultiplierMs(std::to_string(baud) + ",N,8,1");
  const auto faster = clsSerialCommAPI::WriteMultiplierMs(std::to_string(baud + 1) + ",N,8,1");
  FUZZ_CHECK(slower && faster && *faster <= *slower);
  if (baud >= 9600) FUZZ_CHECK(*slower == 2);
}
