#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

constexpr std::int64_t kMinuteUs = 60'000'000;
constexpr std::int64_t kMinuteMs = 60'000;

TEST(UpdateCycle, WritesOnTheSixtiethTickAndAgainSixtyWholeMinutesLater) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  // The minute timer started with the window, at virtual time 0.
  RunToUs(s, 60 * kMinuteUs - 1000);
  EXPECT_TRUE(SentStartingWith(s, 1, "T").empty());
  EXPECT_EQ(s.Form().MinuteCount(), 59);
  RunToUs(s, 121 * kMinuteUs);
  const auto frames = SentStartingWith(s, 1, "T");
  ASSERT_EQ(frames.size(), 2u);
  // Each write waits for the next second boundary after its tick.
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(frames[i].firstByteUs, (i + 1) * 60 * kMinuteUs) << i;
    EXPECT_LT(frames[i].firstByteUs, (i + 1) * 60 * kMinuteUs + 1'100'000) << i;
  }
  EXPECT_EQ(s.Form().MinuteCount(), 1);
  EXPECT_TRUE(s.view.ControlEnabled(Control::cmdRefresh));
}

TEST(UpdateCycle, ACycleDueWhileTheUserIsBusyIsSkippedForAWholeInterval) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  s.Run(60 * kMinuteMs - 5'000 - s.world.time.NowUs() / 1000);
  // Activating an empty port takes some 14 s, across the 60th tick.
  Click(s, 6, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.Form().MinuteCount(), 0);
  s.Run(59 * kMinuteMs);
  EXPECT_TRUE(SentStartingWith(s, 1, "T").empty());
  s.Run(2 * kMinuteMs);
  const auto frames = SentStartingWith(s, 1, "T");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_GE(frames[0].firstByteUs, 120 * kMinuteUs);
}

TEST(UpdateCycle, ACycleLongerThanAMinuteDropsTheTickDueMeanwhileAndKeepsWholeMinutes) {
  SimApp s;
  for (int port = 1; port <= 5; ++port) s.world.AddDevice(port, {.silent = true});
  StartIn(s, 1, 31);
  // Each silent row is probed again at three speeds, some 14 s a row.
  RunToUs(s, 60 * kMinuteUs);  // the cycle runs inside this step
  ASSERT_GT(s.world.time.NowUs(), 61 * kMinuteUs);
  EXPECT_EQ(s.Form().MinuteCount(), 0);
  RunToUs(s, 62 * kMinuteUs - 1000);
  EXPECT_EQ(s.Form().MinuteCount(), 0);
  RunToUs(s, 62 * kMinuteUs);
  EXPECT_EQ(s.Form().MinuteCount(), 1);
}

TEST(UpdateCycle, WithoutAKnownModeServesNothingButEnablesTheWholeControlGroup) {
  for (const char* mode : {"0", "3"}) {
    SimApp s;
    s.world.AddDevice(1, {.letter = 'W'});
    s.Set("Connection Mode", mode);
    s.Set("Used COM Ports", "1");
    s.Start();
    ASSERT_FALSE(s.view.ControlEnabled(Control::cmdRefresh)) << mode;
    const std::size_t linesAfterLoad = SentTo(s, 1).size();
    s.Run(61 * kMinuteMs);
    EXPECT_EQ(SentTo(s, 1).size(), linesAfterLoad) << mode;
    for (Control c :
         {Control::lbl_Mode, Control::cmb_Mode, Control::lblInterval, Control::txtInterval,
          Control::cmdClose, Control::cmdHide, Control::cmdActivate, Control::cmdDeactivate,
          Control::cmdUpdate, Control::cmdRefresh}) {
      EXPECT_TRUE(s.view.ControlEnabled(c)) << mode << " control " << static_cast<int>(c);
    }
    EXPECT_EQ(s.Form().MinuteCount(), 1) << mode;
    EXPECT_EQ(s.Stored("Connection Mode"), mode) << "not written back";
  }
}

TEST(UpdateNow, WritesTheSelectedActiveRowAndLeavesTheScheduleAlone) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  s.world.AddDevice(2, {.letter = 'W'});
  StartIn(s, 1, 1);
  RunToUs(s, 10 * kMinuteUs + 30'000'000);  // half a minute after the tenth tick
  Click(s, 1, &QV_MainForm::OnUpdateClick);
  EXPECT_EQ(SentStartingWith(s, 1, "T").size(), 1u);
  EXPECT_EQ(s.Form().MinuteCount(), 10);
  Click(s, 2, &QV_MainForm::OnUpdateClick);  // not active
  EXPECT_TRUE(SentTo(s, 2).empty());
  EXPECT_TRUE(s.view.enabled);
  EXPECT_FALSE(s.Form().UserBusy());
  EXPECT_TRUE(s.view.ControlEnabled(Control::cmdActivate));
  EXPECT_FALSE(s.view.ControlEnabled(Control::cmdUpdate));
  // The next tick falls where it was due before the update.
  RunToUs(s, 11 * kMinuteUs - 1000);
  EXPECT_EQ(s.Form().MinuteCount(), 10);
  RunToUs(s, 11 * kMinuteUs);
  EXPECT_EQ(s.Form().MinuteCount(), 11);
}

// PcFromDevice: a clock one hour ahead on COM 4 is the one time source.
struct TimeSourceCase : ::testing::Test {
  SimApp s;
  sim::SimDevice& device = s.world.AddDevice(4, {.letter = 'J', .clockOffsetSeconds = 3600});
};

TEST_F(TimeSourceCase, TheCycleReadsTheActiveRowEvenAfterAnotherPortWasTouched) {
  StartIn(s, 2, 8);
  Click(s, 6, &QV_MainForm::OnDeactivateClick);  // leaves the shared port on COM 6
  s.Run(61 * kMinuteMs);
  EXPECT_EQ(SentStartingWith(s, 4, "QT").size(), 1u);
  EXPECT_TRUE(SentTo(s, 6).empty());
  EXPECT_EQ(s.Cell(4, kColStatus), "PC updated successfully.");
  EXPECT_EQ(s.Cell(6, kColActive), "No");
  EXPECT_EQ(s.world.clock.SetLog().size(), 1u);
}

TEST_F(TimeSourceCase, ADeactivatedSourceStaysDeactivated) {
  StartIn(s, 2, 8);
  Click(s, 4, &QV_MainForm::OnDeactivateClick);
  const std::size_t linesBefore = SentTo(s, 4).size();
  s.Run(61 * kMinuteMs);
  EXPECT_EQ(SentTo(s, 4).size(), linesBefore);
  EXPECT_EQ(s.Cell(4, kColActive), "No");
  EXPECT_EQ(s.Stored("Used COM Ports"), "0");
  EXPECT_TRUE(s.world.clock.SetLog().empty());
}

TEST_F(TimeSourceCase, ASourceMissingAtStartUpIsRetriedByTheCycle) {
  device.Config().silent = true;
  StartIn(s, 2, 8);
  ASSERT_EQ(s.Cell(4, kColDetected), "No");
  device.Config().silent = false;
  s.Run(61 * kMinuteMs);
  EXPECT_EQ(s.Cell(4, kColDetected), "Yes");
  EXPECT_EQ(s.Cell(4, kColDevice), "KR9010");
  EXPECT_EQ(s.Cell(4, kColStatus), "PC updated successfully.");
  EXPECT_EQ(s.view.colours[3], kGreen);
}

// However often a receiver speaks, the schedule keeps its whole minutes and the events
// count only in the last two minutes of each interval. The clock cannot be set here, so
// every event used is one attempt.
TEST(UpdateCycle, AReceiverThatSpeaksOftenNeverHoldsTheScheduleBack) {
  for (const int every : {30, 60}) {
    SimApp s;
    s.world.AddDevice(2, {.letter = sim::kNoLetter, .eventEverySeconds = every});
    s.world.clock.RefuseSets(ClockSetResult::kNoRight);
    StartIn(s, 2, 2);
    for (int minute = 1; minute <= 240; ++minute) {
      RunToUs(s, minute * kMinuteUs);
      ASSERT_EQ(s.Form().MinuteCount(), minute % 60) << every << " s, minute " << minute;
    }
    const auto& attempts = s.world.clock.SetLog();
    EXPECT_EQ(attempts.size(), 4u * 120 / every) << every << " s";
    for (const auto& set : attempts) {
      EXPECT_GE(set.atUs / kMinuteUs % 60, 58) << every << " s: used at " << set.atUs << " us";
    }
    EXPECT_EQ(s.Cell(2, kColStatus), "Unable to set PC time - insufficient rights.");
  }
}

TEST(UpdateCycle, AReceiverIsNotAskedButKeepsBeingHeard) {
  SimApp s;
  auto& receiver = s.world.AddDevice(2, {.letter = sim::kNoLetter, .eventEverySeconds = 30});
  StartIn(s, 2, 2);
  Click(s, 7, &QV_MainForm::OnDeactivateClick);  // the shared port moves away from COM 2
  const std::size_t linesAfterLoad = SentTo(s, 2).size();
  s.Run(61 * kMinuteMs);
  EXPECT_EQ(SentTo(s, 2).size(), linesAfterLoad);
  EXPECT_EQ(s.Form().MinuteCount(), 1);
  // Heard again after the cycle: the events of minute 59 of the next interval set the clock.
  s.Run(58 * kMinuteMs);
  EXPECT_GT(receiver.EventsSent(), 0);
  ASSERT_FALSE(s.world.clock.SetLog().empty());
  EXPECT_GT(s.world.clock.SetLog().back().atUs, 61 * kMinuteUs);
  EXPECT_EQ(s.Cell(2, kColStatus), "PC updated successfully.");
}

}  // namespace
}  // namespace horalign::test
