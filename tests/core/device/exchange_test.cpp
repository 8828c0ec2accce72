#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "tests/core/device/paging_fixture.h"

namespace horalign::test {
namespace {

// A silent line: one CR at once, a second at half the wait (in 50 ms ticks), false once the
// wait is over (strictly: a 40-tick countdown ends on the 41st tick). A busy loop may let the
// tick count pass half the wait between two looks; the second CR then goes out at the first
// look after.
TEST(Probe, SendsTheSecondCrOnceHalfTheWaitHasPassedAndGivesUpAtTheEnd) {
  for (const auto& [settings, dueTimesPerWait, secondCrTick, endTick] :
       {std::tuple("9600,N,8,1", 1, 20, 41),
        {"9600,n,8,1", 3, 21, 42},
        {"1200,N,8,1", 1, 60, 121},
        {"1200,N,8,1", 7, 63, 126}}) {
    PagingRig rig;
    rig.Attach(3, {.settings = settings, .silent = true});
    rig.world.loop.SetDueTimesPerWait(dueTimesPerWait);
    const std::int32_t start = rig.delayTicks;
    EXPECT_FALSE(rig.paging.ProbeDevice());
    const auto sent = rig.Sent(3);
    ASSERT_EQ(sent.size(), 2u) << settings << " " << dueTimesPerWait;
    EXPECT_EQ(sent[0].text + sent[1].text, "\r\r");
    EXPECT_EQ(sent[1].firstByteUs / 1000, (start + secondCrTick) * 50) << settings;
    EXPECT_EQ(rig.NowMs(), (start + endTick) * 50) << settings;
    EXPECT_EQ(rig.paging.ReplyLine, "");
  }
}

TEST(Probe, FailsAtOnceOnAPortThatDidNotOpenWithTheDefaultSettingsForBlankOnes) {
  PagingRig rig;
  EXPECT_TRUE(rig.paging.OpenPort(rig.serialPort, 7, "   "));  // COM7 does not exist
  EXPECT_EQ(rig.serialPort.Settings(), "9600,N,8,1");
  EXPECT_FALSE(rig.serialPort.PortOpen());
  EXPECT_FALSE(rig.paging.ProbeDevice());
  EXPECT_EQ(rig.world.time.NowUs(), 0);
}

// While a line without end keeps the receiver busy, every exchange waits a bounded number of
// ticks for it (strictly: n ticks end on the (n+1)th), then gives up without sending.
TEST(Exchanges, GiveUpWithoutSendingWhileTheReceiverStaysBusy) {
  struct Case {
    const char* what;
    std::int32_t ticks;
    std::function<bool(QV_Paging&)> exchange;
  };
  const Case cases[] = {
      {"probe", 9, [](QV_Paging& p) { return p.ProbeDevice(); }},
      {"command", 16,
       [](QV_Paging& p) { return p.SendCommand("P", "", Frame::kPlain, 0, p.ReplyLine); }},
      {"query", 9, [](QV_Paging& p) {
         return !p.QueryDevice("QT", "", 13, Frame::kPlain, 0, p.ReplyLine, LineEnd::kCr, true)
                     .empty();
       }}};
  for (const Case& c : cases) {
    PagingRig rig;
    auto& dev = rig.Attach(4, {.missingCr = true});
    dev.Flood(5'000'000);          // noise without CR for five seconds
    rig.world.loop.RunForMs(600);  // the poll at 500 ms began a line that never ends
    const std::int32_t start = rig.delayTicks;
    EXPECT_FALSE(c.exchange(rig.paging)) << c.what;
    EXPECT_EQ(rig.delayTicks - start, c.ticks) << c.what;
    EXPECT_TRUE(rig.Sent(4).empty()) << c.what;
  }
}

// Where in the exchange the acknowledge is seen, and how long SendCommand then takes.
// Sent at a whole second, an 8-tick timeout ends 450 ms later, before the next poll; each
// grace wait lasts 17 ticks (850 ms). The monitor reads a line at its next 500 ms poll.
// Another complete line ends the wait but fails.
TEST(SendCommand, EndsAtTheWaitWhereTheAnswerWasSeen) {
  for (const auto& [device, timeoutTicks, answer, durationMs] :
       {std::tuple(sim::SimDeviceConfig{}, 100, "*\r", 500),
        {{}, 8, "*\r", 1300},
        {{}, 0, "*\r", 1300},
        {{.replyDelayUs = 1'400'000}, 8, "*\r", 2150},
        {{.replyDelayUs = 2'300'000}, 8, "*\r", 3000},
        {{.replyDelayUs = 3'600'000}, 8, "", 3000},
        {{.fixedReply = "12345678901234"}, 100, "12345678901234\r", 500}}) {
    PagingRig rig;
    rig.Attach(4, device);
    rig.world.loop.RunForMs(1000);  // start just after a poll: at a whole second
    std::string reply = "old";
    EXPECT_EQ(rig.paging.SendCommand("PT", "1405", Frame::kPlain, timeoutTicks, reply),
              std::string(answer) == "*\r");
    EXPECT_EQ(rig.NowMs() - 1000, durationMs) << answer;
    EXPECT_EQ(reply, answer);
    EXPECT_EQ(rig.Sent(4).back().text, "PT1405\r");
  }
}

// Three tries of eight ticks (nine, strictly) each while only errors come back. A
// reply read at the poll after the first try ends the second.
TEST(QueryDevice, TriesThreeTimesAndCutsTheReply) {
  for (const auto& [fixedReply, acceptError, result, sent] :
       {std::tuple("?99", false, "", 3u),
        {"?99", true, "?99", 3u},
        {"A1405091205267*", false, "1405091205267", 2u}}) {
    PagingRig rig;
    rig.Attach(5, {.fixedReply = fixedReply});
    rig.world.loop.RunForMs(1000);
    std::string reply;
    const auto start = rig.delayTicks;
    EXPECT_EQ(
        rig.paging.QueryDevice("Q", "X", 13, Frame::kMarked, 0, reply, LineEnd::kCr, acceptError),
        result);
    EXPECT_EQ(rig.Sent(5).size(), sent);
    EXPECT_EQ(rig.Sent(5).front().text, "QX?\r");
    EXPECT_EQ(reply, std::string(fixedReply) + "\r");
    EXPECT_EQ(rig.delayTicks - start, sent == 3 ? 3 * 9 : 9 + 1) << result;
    EXPECT_FALSE(rig.paging.ReplyComplete);
  }
}

// After the probe (answered at the first poll, tick 10), the query "?000M" up to three times
// with 100 ticks each until a complete line comes back. A device that fails the probe or
// rejects the query (then gets "P", 8 ticks and three grace waits) is not named after the
// previous one.
TEST(Identification, ProbesThenAsksForTheModelAndSerial) {
  using enum ModelKind;
  struct Case {
    const char* line;
    const char* modelAndSerial;
    ModelKind kind;
    std::size_t sent;
    const char* lastSent;
    std::int32_t ticks;
    sim::SimDeviceConfig device;
  };
  for (const Case& c :
       {Case{"00000R00000000\r", "QM8370 00000", kUtcClock, 2, "?000M\r", 20, {.letter = 'R'}},
        Case{"?\r", "Receiver 00000", kReceiver, 4, "?000M\r", 313, {.letter = sim::kNoLetter}},
        Case{"", "N/A 00000", kUnknown, 2, "\r", 41, {.silent = true}},
        Case{"?99\r", "N/A 00000", kUnknown, 5, "P\r", 373, {.fixedReply = "?99"}}}) {
    PagingRig rig;
    rig.Attach(2, c.device);
    std::tie(rig.paging.DeviceModel, rig.paging.DeviceSerial, rig.paging.DeviceKind) =
        std::tuple("QM6840", "12345", kLocalClock);
    EXPECT_EQ(rig.paging.IdentifyDevice(), c.line);
    EXPECT_EQ(rig.paging.DeviceModel + " " + rig.paging.DeviceSerial, c.modelAndSerial);
    EXPECT_EQ(rig.paging.DeviceKind, c.kind) << c.line;
    const auto sent = rig.Sent(2);
    ASSERT_EQ(sent.size(), c.sent) << c.line;
    EXPECT_EQ(sent.back().text, c.lastSent);
    EXPECT_EQ(rig.delayTicks, c.ticks) << c.line;
  }
}

}  // namespace
}  // namespace horalign::test
