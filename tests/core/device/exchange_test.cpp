#include <gtest/gtest.h>

#include <type_traits>

#include "tests/core/device/paging_fixture.h"

namespace horalign::test {
namespace {

constexpr std::int64_t kTickMs = 50;

// The tick counter is held by reference, so a temporary must not bind to it.
static_assert(!std::is_constructible_v<QV_Paging, clsSerialCommAPI&, EventLoop&, std::int32_t,
                                       const AppConfig&>);
static_assert(std::is_constructible_v<QV_Paging, clsSerialCommAPI&, EventLoop&, std::int32_t&,
                                      const AppConfig&>);

// A silent line: one CR at once, a second at half the wait, false once the wait is over
// (strictly: a 40-tick countdown ends on the 41st tick). A busy loop may let the tick count
// pass half the wait between two looks; the second CR then goes out at the first look after.
TEST(Probe, SendsTheSecondCrOnceHalfTheWaitHasPassedAndGivesUpAtTheEnd) {
  struct Case {
    const char* settings;
    int dueTimesPerWait;
    std::int32_t secondCrTick;
    std::int32_t endTick;
  };
  for (const Case& c : {Case{"9600,N,8,1", 1, 20, 41}, Case{"9600,N,8,1", 3, 21, 42},
                        Case{"1200,N,8,1", 1, 60, 121}, Case{"1200,N,8,1", 7, 63, 126}}) {
    PagingRig rig;
    rig.world.AddDevice(3, {.settings = c.settings, .silent = true});
    rig.Open(3, c.settings);
    rig.world.loop.SetDueTimesPerWait(c.dueTimesPerWait);
    const std::int32_t start = rig.delayTicks;
    EXPECT_FALSE(rig.paging.ProbeDevice());
    const auto sent = rig.Sent(3);
    ASSERT_EQ(sent.size(), 2u) << c.settings << " " << c.dueTimesPerWait;
    EXPECT_EQ(sent[0].text, "\r");
    EXPECT_EQ(sent[1].text, "\r");
    EXPECT_EQ(sent[1].firstByteUs / 1000, (start + c.secondCrTick) * kTickMs) << c.settings;
    EXPECT_EQ(rig.NowMs(), (start + c.endTick) * kTickMs) << c.settings;
    EXPECT_EQ(rig.paging.ReplyLine, "");
  }
}

TEST(Probe, IsAnsweredByBothErrorLines) {
  for (char letter : {'W', sim::kNoLetter}) {
    PagingRig rig;
    rig.world.AddDevice(3, {.letter = letter});
    rig.Open(3);
    EXPECT_TRUE(rig.paging.ProbeDevice()) << letter;
    EXPECT_EQ(rig.paging.ReplyLine, letter ? "?99\r" : "?\r");
    EXPECT_EQ(rig.Sent(3).size(), 1u) << "answered before the second CR";
  }
}

TEST(Probe, FailsAtOnceOnAPortThatDidNotOpen) {
  PagingRig rig;
  rig.Open(7);  // COM7 does not exist
  EXPECT_FALSE(rig.serialPort.PortOpen());
  const auto before = rig.world.time.NowUs();
  EXPECT_FALSE(rig.paging.ProbeDevice());
  EXPECT_EQ(rig.world.time.NowUs(), before);
}

TEST(OpenPort, BlankSettingsMeanTheDefault) {
  PagingRig rig;
  rig.world.AddDevice(2);
  EXPECT_TRUE(rig.paging.OpenPort(rig.serialPort, 2, "   "));
  EXPECT_EQ(rig.serialPort.Settings(), "9600,N,8,1");
  EXPECT_TRUE(rig.serialPort.PortOpen());
}

// Where in the exchange the acknowledge is seen, and how long SendCommand then takes.
// Sent at a whole second, an 8-tick timeout ends 450 ms later, before the next poll; each
// grace wait lasts 17 ticks (850 ms). The monitor reads a line at its next 500 ms poll.
struct AckCase {
  const char* name;
  std::int64_t replyDelayMs;
  std::int32_t timeoutTicks;
  bool acknowledged;
  std::int64_t durationMs;
};

class SendCommandTiming : public ::testing::TestWithParam<AckCase> {};

TEST_P(SendCommandTiming, EndsAtTheWaitWhereTheAcknowledgeWasSeen) {
  const AckCase c = GetParam();
  PagingRig rig;
  rig.world.AddDevice(4, {.replyDelayUs = c.replyDelayMs * 1000});
  rig.Open(4);
  rig.world.loop.RunForMs(1000);  // start just after a poll: at a whole second
  std::string reply = "old";
  const auto start = rig.NowMs();
  EXPECT_EQ(rig.paging.SendCommand("P", "", true, c.timeoutTicks, reply), c.acknowledged);
  EXPECT_EQ(rig.NowMs() - start, c.durationMs);
  if (c.acknowledged) {
    EXPECT_EQ(reply, "*\r");
  }
}

INSTANTIATE_TEST_SUITE_P(Waits, SendCommandTiming,
                         ::testing::Values(AckCase{"InsideTheTimeout", 5, 100, true, 500},
                                           AckCase{"InsideTheFirstGraceWait", 5, 8, true, 1300},
                                           AckCase{"InsideTheSecondGraceWait", 1400, 8, true, 2150},
                                           AckCase{"InsideTheThirdGraceWait", 2300, 8, true, 3000},
                                           AckCase{"AfterTheLastGraceWait", 3600, 8, false, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendCommand, ACompleteLineThatIsNotTheAcknowledgeFails) {
  PagingRig rig;
  rig.world.AddDevice(4, {.fixedReply = std::string("12345678901234")});  // 15 with CR
  rig.Open(4);
  std::string reply;
  EXPECT_FALSE(rig.paging.SendCommand("PT", "140509", true, 100, reply));
  EXPECT_EQ(reply, "12345678901234\r");
}

TEST(SendCommand, WithoutAnswerHandsBackThePreviousLine) {
  PagingRig rig;
  auto& dev = rig.world.AddDevice(4);
  rig.Open(4);
  ASSERT_TRUE(rig.paging.ProbeDevice());  // leaves "?99" CR
  dev.Config().silent = true;
  std::string reply;
  EXPECT_FALSE(rig.paging.SendCommand("T", "140509120526U", false, 100, reply));
  EXPECT_EQ(reply, "?99\r");
  EXPECT_EQ(rig.Sent(4).back().text, "T140509120526U?W\r");
}

TEST(SendCommand, GivesUpWithoutSendingWhileTheReceiverStaysBusy) {
  PagingRig rig;
  auto& dev = rig.world.AddDevice(4, {.missingCr = true});
  rig.Open(4);
  dev.Flood(5'000'000);  // noise without CR for five seconds
  rig.world.loop.RunForMs(600);
  ASSERT_FALSE(rig.paging.ReceiverIdle);
  std::string reply = "kept";
  EXPECT_FALSE(rig.paging.SendCommand("P", "", true, 0, reply));
  EXPECT_EQ(reply, "kept");
  EXPECT_TRUE(rig.Sent(4).empty());
}

struct QueryCase {
  const char* name;
  std::string line;  // without CR
  const char* result;
};

class QueryLength : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryLength, CutsTheReplyByItsLength) {
  const QueryCase c = GetParam();
  PagingRig rig;
  rig.world.AddDevice(5, {.fixedReply = c.line});
  rig.Open(5);
  std::string reply;
  EXPECT_EQ(rig.paging.QueryDevice("QT", "", 13, true, 30, reply), c.result);
  EXPECT_EQ(reply, c.line + "\r");
  EXPECT_FALSE(rig.paging.ReplyComplete);
}

INSTANTIATE_TEST_SUITE_P(Lines, QueryLength,
                         ::testing::Values(QueryCase{"Fifteen", "14050912052672", "1405091205267"},
                                           QueryCase{"SixteenWithStar", "A1405091205267*",
                                                     "1405091205267"},
                                           QueryCase{"TwentyFive", "123456789012345678901234", ""},
                                           QueryCase{"Acknowledge", "*", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QueryDevice, TriesThreeTimesWhenOnlyErrorsComeBack) {
  for (bool accept : {false, true}) {
    PagingRig rig;
    rig.world.AddDevice(5, {.fixedReply = std::string("?99")});
    rig.Open(5);
    std::string reply;
    EXPECT_EQ(rig.paging.QueryDevice("QT", "", 13, true, 0, reply, true, accept),
              accept ? "?99" : "");
    EXPECT_EQ(rig.Sent(5).size(), 3u);
    EXPECT_EQ(reply, "?99\r");
  }
}

TEST(QueryDevice, UsesEightTicksForAZeroTimeoutAndTheConfirmedFrame) {
  PagingRig rig;
  rig.world.AddDevice(5, {.silent = true});
  rig.Open(5);
  rig.world.loop.RunForMs(1000);
  std::string reply;
  const auto start = rig.delayTicks;
  EXPECT_EQ(rig.paging.QueryDevice("Q", "X", 13, false, 0, reply), "");
  EXPECT_EQ(rig.delayTicks - start, 3 * 9);
  EXPECT_EQ(rig.Sent(5).front().text, "QX?\r");
}

}  // namespace
}  // namespace horalign::test
