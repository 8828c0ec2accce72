// Settings texts as the port object reads them. The write time-out per byte is the core
// table's (tests/core/serial/serial_comm_test.cpp), at every edge of its rounding.
#include <string>

#include "core/serial/line_settings.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

FUZZ_TARGET(in) {
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
}
