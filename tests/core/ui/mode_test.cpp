#include <gtest/gtest.h>

#include <optional>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

constexpr const char* kModeQuestion = "Are you sure you to change time synchronization mode?";

int ActiveRows(const SimApp& s) {
  int n = 0;
  for (int row = 1; row <= 16; ++row) n += s.Cell(row, kColActive) == "Yes";
  return n;
}

void ChooseMode(SimApp& s, int index, int answer) {
  s.dialog.Answer(answer);
  s.view.modeIndex = index;
  s.Form().OnModeClick();
}

TEST(ModeChange, ConfirmedStoresTheModeAndStartsAgainWithNoActivePort) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  const std::size_t shownBefore = s.dialog.shown.size();
  const int scansBefore = s.loading.showCount;
  ChooseMode(s, 1, QV_SYS_Message::kYes);
  ASSERT_EQ(s.dialog.shown.size(), shownBefore + 1);
  const MessageLayout& asked = s.dialog.Last();
  EXPECT_EQ(asked.text, kModeQuestion);
  EXPECT_EQ(asked.focusCode, QV_SYS_Message::kNo);
  EXPECT_EQ(asked.icon, MessageIcon::kQuestion);
  EXPECT_EQ(s.Stored("Connection Mode"), "2");
  EXPECT_EQ(s.Stored("Used COM Ports"), "0");
  EXPECT_EQ(ActiveRows(s), 0);
  EXPECT_EQ(s.loading.showCount, scansBefore + 1);
  EXPECT_FALSE(s.loading.visible);
  EXPECT_TRUE(s.view.enabled);
  EXPECT_TRUE(s.view.ControlEnabled(Control::txtInterval));
  EXPECT_FALSE(s.pointer.busy);
}

TEST(ModeChange, RefusedPutsBackTheModeInForceAndChangesNothing) {
  struct Case {
    const char* stored;
    int choose;
    int restoredIndex;
  };
  for (const Case c : {Case{"1", 1, 0}, Case{"2", 0, 1}, Case{"0", 0, -1}, Case{"7", 1, -1}}) {
    SimApp s;
    s.Set("Connection Mode", c.stored);
    s.Start();
    const int writes = s.registry.WriteCount();
    const std::size_t shownBefore = s.dialog.shown.size();
    ChooseMode(s, c.choose, QV_SYS_Message::kNo);
    EXPECT_EQ(s.dialog.shown.size(), shownBefore + 1) << c.stored << ": asked once";
    EXPECT_EQ(s.view.modeIndex, c.restoredIndex) << c.stored;
    EXPECT_EQ(s.registry.WriteCount(), writes) << c.stored;
    EXPECT_EQ(s.view.ControlEnabled(Control::cmdActivate), c.restoredIndex >= 0) << c.stored;
  }
}

TEST(ModeChange, SelectingTheModeInForceAsksNothing) {
  SimApp s;
  StartIn(s, 2, 0);
  const std::size_t shownBefore = s.dialog.shown.size();
  s.view.modeIndex = 1;
  s.Form().OnModeClick();
  EXPECT_EQ(s.dialog.shown.size(), shownBefore);
}

TEST(Activate, InPcFromDeviceModeASecondActivePortIsRefused) {
  SimApp s;
  s.world.AddDevice(3, {.letter = 'J'});
  s.world.AddDevice(5, {.letter = 'J'});
  StartIn(s, 2, 4);
  Click(s, 5, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.dialog.Last().text,
            "Only one device can be used to synchronize the PC time.\r\n"
            "Please deactivate all other devices before activating this device.");
  EXPECT_EQ(s.dialog.Last().icon, MessageIcon::kExclamation);
  EXPECT_EQ(s.Cell(5, kColActive), "No");
  EXPECT_TRUE(SentTo(s, 5).empty());
  EXPECT_EQ(s.Stored("Used COM Ports"), "4");
  // The active port itself may be activated again: it is connected once more.
  const std::size_t shown = s.dialog.shown.size();
  const std::size_t probes = SentTo(s, 3).size();
  Click(s, 3, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.dialog.shown.size(), shown);
  EXPECT_GT(SentTo(s, 3).size(), probes);
  EXPECT_EQ(s.Cell(3, kColStatus), "Connected to device.");
}

TEST(Activate, TheStoredMaskIsRebuiltFromTheActiveRows) {
  SimApp s;
  for (int port : {1, 3, 16}) s.world.AddDevice(port, {.letter = 'A'});
  StartIn(s, 1, 0);
  for (int row : {1, 3, 16}) Click(s, row, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.Stored("Used COM Ports"), "32773");
  Click(s, 3, &QV_MainForm::OnDeactivateClick);
  EXPECT_EQ(s.Stored("Used COM Ports"), "32769");
  EXPECT_EQ(s.Cell(3, kColSettings), "9600,N,8,1");
  EXPECT_EQ(s.Cell(3, kColDevice), "N/A");
  EXPECT_FALSE(s.world.serial.IsOpen(3));
}

TEST(IntervalBox, IsCorrectedAndStoredOnlyWhenItsValueChanges) {
  struct Case {
    const char* typed;
    const char* shown;
    std::optional<std::string> stored;
  };
  for (const Case& c :
       {Case{"5", "0060", {}}, Case{"75", "0075", "75"}, Case{"", "0060", {}},
        Case{"9999", "9999", "9999"}, Case{"0060", "0060", {}}, Case{"125", "0125", "125"}}) {
    SimApp s;
    StartIn(s, 1, 0);
    const int writes = s.registry.WriteCount();
    s.view.intervalText = c.typed;
    s.Form().OnIntervalLostFocus();
    EXPECT_EQ(s.view.intervalText, c.shown) << c.typed;
    EXPECT_EQ(s.Stored("Update Interval"), c.stored) << c.typed;
    EXPECT_EQ(s.registry.WriteCount(), writes + (c.stored ? 1 : 0)) << c.typed;
  }
}

TEST(IntervalBox, TakesOnlyDigitsAndControlKeysAndSelectsItsTextOnFocus) {
  SimApp s;
  StartIn(s, 1, 0);
  for (int key : {48, 55, 57, 8, 19}) EXPECT_EQ(s.Form().OnIntervalKeyPress(key), key) << key;
  for (int key : {97, 45, 46, 20, 32}) EXPECT_EQ(s.Form().OnIntervalKeyPress(key), 0) << key;
  s.Form().OnIntervalGotFocus();
  EXPECT_EQ(s.view.intervalSelection, std::make_pair(0, 4));
}

TEST(IntervalBox, AStoredIntervalBelowTheMinimumIsUsedUntilTheFirstCycleCorrectsIt) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  s.Set("Update Interval", "30");
  StartIn(s, 1, 1);
  EXPECT_EQ(s.view.intervalText, "0030");
  s.Run(31 * 60'000);
  auto frames = SentStartingWith(s, 1, "T");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_GE(frames[0].firstByteUs, 30LL * 60'000'000);
  EXPECT_EQ(s.Stored("Update Interval"), "60");
  EXPECT_EQ(s.view.intervalText, "0060");
  s.Run(58 * 60'000);
  EXPECT_EQ(SentStartingWith(s, 1, "T").size(), 1u) << "the next cycle is 60 minutes away";
  s.Run(2 * 60'000);
  EXPECT_EQ(SentStartingWith(s, 1, "T").size(), 2u);
}

}  // namespace
}  // namespace horalign::test
