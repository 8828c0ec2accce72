#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <optional>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// A "QT" reply body: the digits given, then their digit sum modulo 10 (unless `check` is
// given).
std::string WithCheck(const std::string& digits, std::optional<char> check = std::nullopt) {
  int sum = 0;
  for (char c : digits) sum += c - '0';
  return digits + check.value_or(static_cast<char>('0' + sum % 10));
}

// A KR9010 on COM 4, the time source of a PC in PcFromDevice mode.
struct ClockSource {
  SimApp s;
  sim::SimDevice& device;
  explicit ClockSource(sim::SimDeviceConfig config = {.letter = 'J'})
      : device(s.world.AddDevice(4, config)) {
    StartIn(s, 2, 8);
  }
  void UpdateNow() { Click(s, 4, &QV_MainForm::OnUpdateClick); }
};

struct QtCase {
  const char* name;
  std::string reply;  // without its CR
  const char* status;
  std::optional<CivilTime> setTo;  // date and time of day the PC is set to
};

class QtReply : public ::testing::TestWithParam<QtCase> {};

TEST_P(QtReply, IsCheckedBeforeThePcClockIsSet) {
  const QtCase c = GetParam();
  ClockSource rig;
  rig.device.Config().fixedReply = c.reply;
  EXPECT_EQ(rig.s.Form().Sync().ReadTime(4), std::string(c.status) == "PC updated successfully.");
  const auto& log = rig.s.world.clock.SetLog();
  EXPECT_EQ(SentStartingWith(rig.s, 4, "QT").back().text, "QT\r");
  EXPECT_EQ(rig.s.Cell(4, kColStatus), c.status);
  EXPECT_EQ(rig.s.Cell(4, kColStatusTime), StampNow(rig.s));
  if (!c.setTo) {
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(rig.s.world.clock.WallStepMicros(), 0);
    return;
  }
  ASSERT_EQ(log.size(), 1u);
  const CivilTime pc = rig.s.world.clock.LocalNow();
  EXPECT_EQ(
      (std::array{pc.year, pc.month, pc.day, pc.hour, pc.minute}),
      (std::array{c.setTo->year, c.setTo->month, c.setTo->day, c.setTo->hour, c.setTo->minute}));
  EXPECT_EQ(log[0].local.second, c.setTo->second);
}

// The PC's date is 12/05/26 throughout.
INSTANTIATE_TEST_SUITE_P(
    Replies, QtReply,
    ::testing::Values(
        QtCase{"Good", WithCheck("0930151206261"), "PC updated successfully.",
               CivilTime{2026, 12, 6, 9, 30, 15}},
        QtCase{"FourteenCharacters", WithCheck("093015120626"), "Error reading device.", {}},
        QtCase{"SixteenCharacters", WithCheck("09301512062611"), "Error reading device.", {}},
        QtCase{"WrongCheckDigit", WithCheck("0930151206261", '0'), "Error reading device.", {}},
        QtCase{"InvalidTime", WithCheck("2530151206261"), "Error reading device.", {}},
        QtCase{"InvalidDateSetsTheTimeOnly", WithCheck("0930151306261"), "PC updated successfully.",
               CivilTime{2026, 12, 5, 9, 30, 15}},
        QtCase{"YearNinetyNineIsInThePastCentury", WithCheck("0930150101991"),
               "PC updated successfully.", CivilTime{1999, 1, 1, 9, 30, 15}},
        QtCase{"YearThirtyIsInThisCentury", WithCheck("0930150101301"), "PC updated successfully.",
               CivilTime{2030, 1, 1, 9, 30, 15}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadTime, AReplyEqualToThePcTimeSetsNothing) {
  ClockSource rig({.letter = 'J', .keepsUtc = false});
  // Asked just after a second starts, the reply is read within the same second.
  RunToSubsecond(rig.s, 100'000);
  rig.UpdateNow();
  EXPECT_EQ(rig.s.Cell(4, kColStatus), "PC updated successfully.");
  EXPECT_TRUE(rig.s.world.clock.SetLog().empty());
}

TEST(ReadTime, AClockThatStopsAnsweringIsAnErrorNotAReplayOfItsLastTime) {
  ClockSource rig({.letter = 'J', .clockOffsetSeconds = 3600});
  rig.UpdateNow();
  ASSERT_EQ(rig.s.Cell(4, kColStatus), "PC updated successfully.");
  ASSERT_EQ(rig.s.world.clock.SetLog().size(), 1u);
  rig.s.world.clock.StepWallMicros(-30'000'000);  // someone moves the PC clock meanwhile
  rig.device.Config().silent = true;
  rig.UpdateNow();
  EXPECT_EQ(rig.s.Cell(4, kColStatus), "Error reading device.");
  EXPECT_EQ(rig.s.world.clock.SetLog().size(), 1u);
  EXPECT_EQ(SentStartingWith(rig.s, 4, "QT").size(), 4u) << "one answered, three unanswered";
}

TEST(ReadTime, WithoutTheRightToSetTheClockTheRowSaysSoAndNothingChanges) {
  ClockSource rig({.letter = 'J', .clockOffsetSeconds = 3600});
  rig.s.world.clock.RefuseSets(ClockSetResult::kNoRight);
  rig.UpdateNow();
  EXPECT_EQ(rig.s.Cell(4, kColStatus), "Unable to set PC time - insufficient rights.");
  EXPECT_EQ(rig.s.Cell(4, kColStatusTime), StampNow(rig.s));
  EXPECT_EQ(rig.s.world.clock.WallStepMicros(), 0);
  EXPECT_FALSE(rig.s.Form().Sync().ProcessTime(4, rig.device.TimeReply()));
  EXPECT_EQ(rig.s.world.clock.SetLog().size(), 2u);
  EXPECT_EQ(rig.s.Cell(4, kColDevice), "KR9010");
  EXPECT_TRUE(rig.s.view.enabled);
}

// A receiver on COM 2 that speaks only when the test makes it.
struct ReceiverSource {
  SimApp s;
  sim::SimDevice& device;
  explicit ReceiverSource(const sim::WorldOptions& options = {})
      : s(options),
        device(s.world.AddDevice(2, {.letter = sim::kNoLetter, .eventEverySeconds = 0})) {
    StartIn(s, 2, 2);
  }
  void RunToMinute(int count) {
    ASSERT_TRUE(
        s.world.loop.RunUntil([&] { return s.Form().MinuteCount() == count; }, 100 * 60'000));
  }
  // Sends a line and runs until the port monitor has taken it.
  void Send(const std::string& line) {
    const auto before = s.app.Paging().LinesReceived();
    device.SendRaw(line + "\r");
    ASSERT_TRUE(
        s.world.loop.RunUntil([&] { return s.app.Paging().LinesReceived() > before; }, 1000));
  }
};

struct EventCase {
  const char* name;
  std::string line;
  std::optional<CivilTime> setTo;
};

class ReceiverEvent : public ::testing::TestWithParam<EventCase> {};

TEST_P(ReceiverEvent, SetsTheTimeOfDaySevenHoursBehindTheReceiver) {
  const EventCase c = GetParam();
  ReceiverSource rig;
  rig.RunToMinute(58);
  rig.Send(c.line);
  const auto& log = rig.s.world.clock.SetLog();
  EXPECT_EQ(rig.s.Cell(2, kColStatus),
            c.setTo ? "PC updated successfully." : "Error reading device.");
  EXPECT_EQ(rig.s.Cell(2, kColStatusTime), StampNow(rig.s));
  if (!c.setTo) {
    EXPECT_TRUE(log.empty());
    return;
  }
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].local, *c.setTo);
}

INSTANTIATE_TEST_SUITE_P(
    Events, ReceiverEvent,
    ::testing::Values(
        EventCase{"BranchAOnTheMinute", "037146214050", CivilTime{2026, 12, 5, 7, 5, 0, 0, 7}},
        EventCase{"BranchBAtTheMinutesEnd", "037146114050", CivilTime{2026, 12, 5, 7, 5, 59, 0, 7}},
        EventCase{"BranchBEarlyMorningWrapsToTheEvening", "037146103104",
                  CivilTime{2026, 12, 5, 20, 10, 59, 0, 7}},
        EventCase{"OtherPartNumbersOfBothBranches", "037143814050",
                  CivilTime{2026, 12, 5, 7, 5, 0, 0, 7}},
        EventCase{"WrongCheckDigit", "037146114051", std::nullopt},
        EventCase{"NoSuchHour", "037146225052", std::nullopt},
        EventCase{"NonDigitInBranchB", "03714611a056", std::nullopt},
        // With its CR an event must be at least 12 characters long.
        EventCase{"TooShort", "0371462140", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiverEvents, OnlyBranchBTakesAnEarlyMorningTimeForAnotherOne) {
  const CivilTime now{2026, 12, 5, 20, 10, 0};  // 03:10 at the receiver
  const ClockDecision a = DecideReceiverEvent("037146203104", now);
  EXPECT_TRUE(a.accepted);
  EXPECT_FALSE(a.target) << "the PC already agrees";
  const ClockDecision b = DecideReceiverEvent("037146103104", now);
  ASSERT_TRUE(b.target);
  EXPECT_EQ(*b.target, (CivilTime{2026, 12, 5, 20, 10, 59, 0, 7}));
}

TEST(ReceiverEvents, ACorrectionAcrossMidnightKeepsTheDateNearestThePresent) {
  struct Case {
    CivilTime start;  // the PC reaches minute 58 just before or after midnight
    std::string line;
    CivilTime setTo;
  };
  for (const Case& c : {Case{{2026, 12, 5, 23, 1, 30}, "037146207007", {2026, 12, 6, 0, 0, 0}},
                        Case{{2026, 12, 5, 23, 3, 0}, "037146206590", {2026, 12, 5, 23, 59, 0}}}) {
    ReceiverSource rig({.utcAtStart = c.start});
    rig.RunToMinute(58);
    rig.Send(c.line);
    const auto& log = rig.s.world.clock.SetLog();
    ASSERT_EQ(log.size(), 1u) << c.line;
    EXPECT_EQ((std::array{log[0].local.year, log[0].local.month, log[0].local.day,
                          log[0].local.hour, log[0].local.minute}),
              (std::array{c.setTo.year, c.setTo.month, c.setTo.day, c.setTo.hour, c.setTo.minute}))
        << c.line;
    EXPECT_LT(std::llabs(rig.s.world.clock.WallStepMicros()), 3600LL * 1'000'000) << c.line;
  }
}

TEST(ReceiverEvents, CountOnlyInTheLastTwoMinutesOfTheInterval) {
  ReceiverSource rig;
  rig.RunToMinute(57);
  const std::string statusBefore = rig.s.Cell(2, kColStatus);
  const std::string stampBefore = rig.s.Cell(2, kColStatusTime);
  rig.Send("037146214050");
  EXPECT_TRUE(rig.s.Form().SkipTimeEvent());
  EXPECT_EQ(rig.s.Cell(2, kColStatus), statusBefore);
  EXPECT_EQ(rig.s.Cell(2, kColStatusTime), stampBefore);
  EXPECT_TRUE(rig.s.world.clock.SetLog().empty());
  rig.RunToMinute(58);
  rig.Send("037146214050");
  EXPECT_FALSE(rig.s.Form().SkipTimeEvent());
  EXPECT_EQ(rig.s.Cell(2, kColStatus), "PC updated successfully.");
  EXPECT_EQ(rig.s.world.clock.SetLog().size(), 1u);
}

TEST(ReceiverEvents, AnAcceptedEventNamesAnUnidentifiedRowReceiver) {
  ReceiverSource rig;
  Click(rig.s, 2, &QV_MainForm::OnDeactivateClick);
  Click(rig.s, 9, &QV_MainForm::OnActivateClick);  // nothing attached: Device "N/A"
  ASSERT_EQ(rig.s.Cell(9, kColDevice), "N/A");
  rig.RunToMinute(58);
  EXPECT_FALSE(rig.s.Form().Sync().ProcessTime(9, "037146214051"));
  EXPECT_EQ(rig.s.Cell(9, kColDevice), "N/A");
  EXPECT_TRUE(rig.s.Form().Sync().ProcessTime(9, "037146214050"));
  EXPECT_EQ(rig.s.Cell(9, kColDevice), "Receiver");
}

TEST(ReceiverEvents, WithoutTheRightToSetTheClockTheRowSaysSo) {
  ReceiverSource rig;
  rig.RunToMinute(58);
  rig.s.world.clock.RefuseSets(ClockSetResult::kNoRight);
  EXPECT_FALSE(rig.s.Form().Sync().ProcessTime(2, "037146214050"));
  EXPECT_EQ(rig.s.Cell(2, kColStatus), "Unable to set PC time - insufficient rights.");
  EXPECT_EQ(rig.s.Cell(2, kColStatusTime), StampNow(rig.s));
  EXPECT_EQ(rig.s.world.clock.WallStepMicros(), 0);
}

}  // namespace
}  // namespace horalign::test
