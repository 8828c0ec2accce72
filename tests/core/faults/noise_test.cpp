#include <gtest/gtest.h>

#include <string>

#include "core/device/line_rules.h"
#include "tests/core/device/paging_fixture.h"

namespace horalign::test {
namespace {

// Noise on the line is contained: it is dropped, or taken as a line that no rule
// accepts, and the device is answered normally right after.
struct NoiseCase {
  const char* what;
  const char* settings;
  std::string noise;
  std::string lineTaken;  // ReplyLine afterwards: "" when the noise was dropped
};

TEST(Noise, IsDroppedOrHandledAndTheNextCommandIsAnsweredNormally) {
  const std::string nulAnd8Bit("\0\xff\x80?99\r", 7);
  const NoiseCase cases[] = {
      {"bytes that never end in CR", "9600,N,8,1", "abc\x01\x7f", ""},
      // Cut at the monitor's limit, its tail would be 15 characters: a "complete reply".
      {"a long line whose tail looks complete", "38400,N,8,1", std::string(4110, '1') + "\r", ""},
      {"NUL and 8-bit bytes", "9600,N,8,1", nulAnd8Bit, nulAnd8Bit},
  };
  for (const NoiseCase& c : cases) {
    PagingRig rig;
    auto& dev = rig.Attach(2, {.settings = c.settings});
    dev.SendRaw(c.noise);
    rig.world.loop.RunForMs(4000);
    EXPECT_EQ(rig.paging.ReplyLine, c.lineTaken) << c.what;
    EXPECT_FALSE(rig.paging.ReplyComplete || rig.paging.ErrorReply) << c.what;
    EXPECT_TRUE(rig.paging.ReceiverIdle) << c.what;

    std::string reply;
    EXPECT_TRUE(rig.paging.SendCommand("P", "", Frame::kPlain, 0, reply)) << c.what;
    EXPECT_EQ(reply, "*\r") << c.what;
  }
}

}  // namespace
}  // namespace horalign::test
