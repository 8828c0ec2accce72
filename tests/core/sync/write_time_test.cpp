#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "core/util/civil.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// A time command starts 1 to 99 ms past a whole second of the PC clock, whose seconds
// virtual time shares in these tests unless it was stepped.
void ExpectJustPastASecond(std::int64_t us) {
  EXPECT_GE(us % 1'000'000, 1'000) << us;
  EXPECT_LT(us % 1'000'000, 100'000) << us;
}

// Ten hours east of UTC: at 14:05 UTC on Saturday it is already Sunday 00:05 locally.
const sim::WorldOptions kEastOfUtc{.localOffsetMinutes = 600};

TEST(WriteTime, SendsTheUtcFamilyItsUtcDateAndTimeJustAfterASecondStarts) {
  SimApp s(kEastOfUtc);
  StartWith(s, 1, 2, {.letter = 'W'});
  Click(s, 2, &QV_MainForm::OnUpdateClick);
  const auto frames = SentStartingWith(s, 2, "T");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].text, "T140511120526U?W\r");
  ExpectJustPastASecond(frames[0].firstByteUs);
  EXPECT_EQ(s.Cell(2, kColStatusTime), "12/06/26, 12:05:11 AM");
  // The history has the connection at the load, then the write, when its command started.
  const auto history = s.History();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(
      std::tuple(history[1].action, history[1].cause, history[1].ok, history[1].status,
                 history[1].msPastSecond, IsoUtcText(history[1].utcMs).substr(0, 19)),
      std::tuple(HistoryAction::kWrite, PushCause::kNone, true, "Device updated successfully.",
                 frames[0].firstByteUs % 1'000'000 / 1000, "2026-12-05T14:05:11"));
  // The clock display is restarted just after the second began, even when the PC clock had
  // moved half a second against the display's ticks.
  s.world.clock.StepWallMicros(500'000);
  Click(s, 2, &QV_MainForm::OnUpdateClick);
  RunToSubsecond(s, 200'000);
  EXPECT_EQ(s.view.currentTime, "12:05:13 AM");
}

// Sunday the 6th locally: the time and the date, weekday included, come from the local
// clock. The device counts as updated once it took its time, in either form.
TEST(WriteTime, SetsTheLocalFamilysTimeThenItsDate) {
  struct Case {
    sim::SimDeviceConfig device;
    std::vector<std::string> commands;
    bool updated = true;
  };
  for (const Case& c :
       {Case{{.letter = 'A'}, {"PT000511\r", "PD1206261\r"}},
        Case{{.letter = 'A', .refuseLongPt = true}, {"PT000511\r", "PT0005\r", "PD1206261\r"}},
        Case{{.letter = 'A', .refusePd = true}, {"PT000511\r", "PD1206261\r"}},
        Case{{.letter = 'A', .fixedReply = "?99"}, {"PT000529\r", "PT0005\r"}, false}}) {
    SimApp s(kEastOfUtc);
    StartWith(s, 1, 4, c.device);
    Click(s, 4, &QV_MainForm::OnUpdateClick);
    std::vector<std::string> commands;
    for (const auto& l : s.world.serial.LinesToDevice(4)) {
      if (l.text.starts_with("PT") || l.text.starts_with("PD")) commands.push_back(l.text);
    }
    EXPECT_EQ(commands, c.commands);
    const std::int64_t firstUs = SentStartingWith(s, 4, "PT").front().firstByteUs;
    ExpectJustPastASecond(firstUs);
    const std::string status =
        c.updated ? "Device updated successfully." : "Error updating device.";
    EXPECT_EQ(s.Cell(4, kColStatus), status);
    const HistoryEntry last = s.History().back();
    EXPECT_EQ(std::tuple(last.action, last.ok, last.status, last.msPastSecond),
              std::tuple(HistoryAction::kWrite, c.updated, status, firstUs % 1'000'000 / 1000));
  }
}

TEST(WriteTime, ADeviceThatStillDoesNotConnectGetsOnlyProbesAndAFreshStatusTime) {
  SimApp s;
  StartWith(s, 1, 3, {.letter = 'W', .silent = true});
  ASSERT_EQ(s.Cell(3, kColStatusTime), "12/05/26, 02:05:23 PM");
  const std::size_t linesBefore = SentTo(s, 3).size();
  EXPECT_FALSE(s.Form().Sync().WriteTime(3));
  EXPECT_EQ(SentTo(s, 3), (std::vector<std::string>(linesBefore + 6, "\r")));
  EXPECT_EQ(s.Cell(3, kColStatus), "Unable to connect to device - check settings.");
  EXPECT_EQ(s.Cell(3, kColStatusTime), "12/05/26, 02:05:37 PM");
  // A write that could not connect is one that failed, with no time command.
  std::vector<std::tuple<HistoryAction, bool, std::string, int>> kept;
  for (const auto& e : s.History()) kept.emplace_back(e.action, e.ok, e.status, e.msPastSecond);
  const std::string status = "Unable to connect to device - check settings.";
  EXPECT_EQ(kept, (decltype(kept){{HistoryAction::kConnect, false, status, -1},
                                  {HistoryAction::kConnect, false, status, -1},
                                  {HistoryAction::kWrite, false, status, -1}}));
}

// A clock the test moves: each sleep lasts as long as asked plus the case's lateness, and
// during the first `jumps` sleeps the clock also jumps by `jumpUs`; a stopped clock stands.
struct SleepCase {
  const char* name;
  std::int64_t nowUs, latenessUs, jumpUs;
  int jumps;
  bool stopped, reached;
  int sleeps;  // until the second start was reached or given up
};

struct JumpingClock : Clock {
  explicit JumpingClock(const SleepCase& c) : c(c) {}
  CivilTime UtcNow() override {
    ++reads;
    return FromEpochMicros(c.nowUs);
  }
  CivilTime LocalNow() override { return UtcNow(); }
  ClockSetResult SetLocal(const CivilTime&) override { return ClockSetResult::kFailed; }
  void SleepMicros(std::int64_t us) override {
    const bool jump = sleeps++ < c.jumps;
    if (!c.stopped) c.nowUs += us + c.latenessUs + (jump ? c.jumpUs : 0);
  }
  SleepCase c;
  int reads = 0, sleeps = 0;
};

TEST(SecondStart, IsSleptForAndGivenUpWithinABound) {
  for (const SleepCase& c :
       {SleepCase{"already just past a second", 1'500, 0, 0, 0, false, true, 0},
        SleepCase{"too far past a second", 50'000, 0, 0, 0, false, true, 1},
        SleepCase{"steady", 500'000, 0, 0, 0, false, true, 1},
        SleepCase{"woken a little late", 500'000, 40'000, 0, 0, false, true, 1},
        SleepCase{"stepped back once", 500'000, 0, -300'000, 1, false, true, 2},
        SleepCase{"always woken too late", 500'000, 150'000, 0, 0, false, false, 3},
        SleepCase{"stepped back at every sleep", 500'000, 0, -700'000, 99, false, false, 4},
        SleepCase{"stopped just before a second", 999'999, 0, 0, 0, true, false, 12}}) {
    SCOPED_TRACE(c.name);
    JumpingClock clock(c);
    EXPECT_EQ(SleepToSecondStart(clock), c.reached);
    EXPECT_EQ(clock.sleeps, c.sleeps);
    EXPECT_LE(clock.reads, clock.sleeps + 1) << "no reading without a sleep between";
    if (c.reached) ExpectJustPastASecond(clock.c.nowUs);
  }
}

TEST(WriteTime, WithAClockThatNeverReachesASecondStartNoTimeCommandIsSent) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  s.world.AddDevice(2, {.letter = 'A'});
  StartIn(s, 1, 3);
  RunToSubsecond(s, 500'000);
  // From now on the PC clock stands still.
  std::function<void()> stand = [&] {
    s.world.clock.StepWallMicros(-1000);
    s.world.time.After(1000, stand);
  };
  s.world.time.After(1000, stand);
  for (int port : {1, 2}) {
    Click(s, port, &QV_MainForm::OnUpdateClick);
    EXPECT_EQ(s.Cell(port, kColStatus), "Error updating device.") << port;
  }
  EXPECT_TRUE(SentStartingWith(s, 1, "T").empty());
  EXPECT_TRUE(SentStartingWith(s, 2, "PT").empty());
}

// A line a device broke off leaves the receiver busy until the next poll finds it quiet. A
// write that starts then still sends its time just past a second, and the time of that
// second, whichever family it is.
TEST(WriteTime, ABusyReceiverAtTheSecondBoundaryDelaysTheCommandToTheNextSecond) {
  for (const char letter : {'W', 'A'}) {
    // Where the PC clock's seconds fall against the monitor's polls decides how long after
    // the boundary the receiver is found idle.
    for (std::int64_t phaseUs = 0; phaseUs < 1'000'000; phaseUs += 125'000) {
      SCOPED_TRACE(testing::Message() << letter << " at " << phaseUs);
      SimApp s;
      StartWith(s, 1, 1, {.letter = letter});
      s.world.clock.StepWallMicros(phaseUs);
      s.world.devices[0]->SendRaw("#");  // no CR: dropped at its deadline, a second later
      QV_Paging& paging = s.app.Paging();
      ASSERT_TRUE(s.world.loop.RunUntil([&] { return !paging.ReceiverIdle; }, 1'000));
      ASSERT_TRUE(s.world.loop.RunUntil([&] { return !paging.Collecting(); }, 2'000));
      ASSERT_FALSE(paging.ReceiverIdle);
      Click(s, 1, &QV_MainForm::OnUpdateClick);
      const auto frames = SentStartingWith(s, 1, letter == 'W' ? "T" : "PT");
      ASSERT_EQ(frames.size(), 1u);
      // The PC clock was stepped: its seconds are not virtual time's.
      const std::int64_t wallUs =
          frames[0].firstByteUs + s.world.clock.UtcEpochMicros() - s.world.time.NowUs();
      ExpectJustPastASecond(wallUs);
      const CivilTime sent = FromEpochMicros(wallUs);
      EXPECT_EQ(frames[0].text.substr(letter == 'W' ? 1 : 2, 6),
                ZeroPad(sent.hour, 2) + ZeroPad(sent.minute, 2) + ZeroPad(sent.second, 2));
      EXPECT_EQ(s.Cell(1, kColStatus), "Device updated successfully.");
    }
  }
}

}  // namespace
}  // namespace horalign::test
