#include <gtest/gtest.h>

#include "core/ui/port_list.h"
#include "sim/sim_app.h"

namespace horalign::test {
namespace {

using sim::SimApp;

TEST(Load, AFirstRunShowsEveryPortAndAsksForAMode) {
  SimApp s;
  s.dialog.Answer(1);  // "To activate, please select Synchronization Mode."
  s.dialog.Wait();     // the F1 notice closes itself
  ASSERT_TRUE(s.Start());
  EXPECT_EQ(s.view.caption, "Horalign (Version 1.41)");
  EXPECT_EQ(s.view.left, 400);
  EXPECT_EQ(s.view.top, 200);
  EXPECT_EQ(s.view.intervalText, "0060");
  EXPECT_EQ(s.view.modeIndex, -1);
  ASSERT_EQ(s.view.rows.size(), 16u);
  EXPECT_EQ(s.Cell(9, kColPort), "09");
  EXPECT_EQ(s.Cell(16, kColPort), "16");
  for (int row = 1; row <= 16; ++row) {
    EXPECT_EQ(s.Cell(row, kColActive), "No");
    EXPECT_EQ(s.Cell(row, kColStatus), "Disconnected from device.");
    EXPECT_EQ(s.Cell(row, kColStatusTime), "12/05/26, 02:05:09 PM");
  }
  ASSERT_EQ(s.dialog.shown.size(), 2u);
  EXPECT_EQ(s.dialog.shown[0].layout.text, "To activate, please select Synchronization Mode.");
  EXPECT_EQ(s.dialog.shown[1].layout.text, "Help is available by pressing F1.");
  EXPECT_TRUE(s.view.ControlEnabled(Control::cmdClose));
  EXPECT_TRUE(s.view.ControlEnabled(Control::cmb_Mode));
  EXPECT_FALSE(s.view.ControlEnabled(Control::cmdHide));
  EXPECT_FALSE(s.view.ControlEnabled(Control::cmdActivate));
  EXPECT_FALSE(s.pointer.busy);
  EXPECT_FALSE(s.loading.visible);
  // The help notice closed itself after five seconds.
  EXPECT_GE(s.world.time.NowUs(), 5'000'000);
}

TEST(Load, ReconnectsTheStoredPortsAfterTheScan) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W', .serial = "ABCDE"});
  s.world.AddDevice(3, {.letter = 'A', .serial = "12345", .settings = "1200,N,8,1"});
  s.Set("Connection Mode", "1");
  s.Set("Used COM Ports", "5");
  ASSERT_TRUE(s.Start());
  EXPECT_EQ(s.Cell(1, kColActive), "Yes");
  EXPECT_EQ(s.Cell(1, kColDevice), "QM8340");
  EXPECT_EQ(s.Cell(1, kColSerial), "ABCDE");
  EXPECT_EQ(s.Cell(1, kColStatus), "Connected to device.");
  EXPECT_EQ(s.view.colours[0], kGreen);
  EXPECT_EQ(s.Cell(3, kColSettings), "1200,N,8,1");
  EXPECT_EQ(s.Cell(3, kColDevice), "QM6840");
  EXPECT_EQ(s.Cell(2, kColActive), "No");
  EXPECT_EQ(s.view.modeIndex, 0);
  EXPECT_TRUE(s.view.ControlEnabled(Control::cmdActivate));
}

// A filled list always has row 01 selected, so the action buttons act on a row the user sees.
TEST(Load, EveryFillOfTheListSelectsRowOne) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  s.Set("Connection Mode", "1");
  s.Set("Used COM Ports", "1");
  ASSERT_TRUE(s.Start());
  EXPECT_EQ(s.view.SelectedRow(), 1) << "after load";
  s.Select(5);
  s.Form().OnRefreshClick();
  EXPECT_EQ(s.view.SelectedRow(), 1) << "after Refresh";
  s.Select(5);
  s.dialog.Answer(QV_SYS_Message::kYes);
  s.view.modeIndex = 1;
  s.Form().OnModeClick();
  EXPECT_EQ(s.view.SelectedRow(), 1) << "after a mode change";
  s.Form().OnActivateClick();
  EXPECT_EQ(s.Cell(1, kColActive), "Yes");
  EXPECT_EQ(s.Stored("Used COM Ports"), "1");
}

}  // namespace
}  // namespace horalign::test
