#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

TEST(Connect, FindsTheDeviceAtItsSpeedAndRecordsTheSettingsItAnsweredAt) {
  for (const auto& [settings, stamp] : {std::pair{"9600,N,8,1", "12/05/26, 02:05:10 PM"},
                                        std::pair{"38400,N,8,1", "12/05/26, 02:05:12 PM"},
                                        std::pair{"1200,N,8,1", "12/05/26, 02:05:18 PM"}}) {
    SimApp s;
    s.world.AddDevice(3, {.letter = 'J', .serial = "54321", .settings = settings});
    StartIn(s, 1, 0);
    StatusTrail trail(s, 3);
    Click(s, 3, &QV_MainForm::OnActivateClick);
    EXPECT_EQ(s.view.rows[2],
              (std::vector<std::string>{"03", "Yes", "Connected to device.", stamp, settings,
                                        "KR9010", "", "", "54321", "Yes"}));
    Click(s, 3, &QV_MainForm::OnDeactivateClick);
    EXPECT_EQ(trail.texts, (std::vector<std::string>{
                               "Connecting to device...", "Connected to device.",
                               "Disconnecting from device...", "Disconnected from device."}));
    EXPECT_EQ(s.view.rows[2],
              (std::vector<std::string>{"03", "No", "Disconnected from device.", stamp,
                                        "9600,N,8,1", "N/A", "", "", "N/A", "No"}));
    EXPECT_FALSE(s.world.serial.IsOpen(3)) << "the port is closed again";
    EXPECT_EQ(s.History().size(), 1u) << "a deactivation writes no entry";
  }
}

// A row whose device stops answering is probed at every speed again (some 14 s) and goes
// back to the first speed's settings, active in dark red.
TEST(Connect, ADeviceThatNoLongerAnswersLeavesTheRowActiveWithTheDefaultSettings) {
  SimApp s;
  auto& device = StartWith(s, 1, 6, {.letter = 'W', .settings = "38400,N,8,1"});
  ASSERT_EQ(s.Cell(6, kColSettings), "38400,N,8,1");
  device.Config().silent = true;
  Click(s, 6, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.view.rows[5],
            (std::vector<std::string>{"06", "Yes", "Unable to connect to device - check settings.",
                                      "12/05/26, 02:05:26 PM", "9600,N,8,1", "N/A", "", "", "N/A",
                                      "No"}));
  EXPECT_EQ(s.view.colours[5], kDarkRed);
  EXPECT_EQ(s.Stored("Used COM Ports"), "32");
}

// The load lists every port first, greys those that do not open, then reconnects the
// stored ones from COM1 up to COM16. Activate, Deactivate and Update Now follow the row.
TEST(Scan, ReconnectsTheStoredPortsInOrderAndTheButtonsFollowTheSelectedRow) {
  SimApp s;
  for (int port : {1, 2, 16}) s.world.AddDevice(port, {.letter = 'W'});
  s.world.AddDevice(3, {.letter = sim::kNoLetter});
  s.world.serial.Unplug(5);
  s.world.serial.HoldPort(9, true);
  {
    StatusTrail unavailable(s, 9);
    StartIn(s, 1, 1 + 4 + (1 << 15));
    EXPECT_EQ(unavailable.texts, std::vector<std::string>{"Disconnected from device."});
  }
  for (int row : {5, 9}) {
    EXPECT_EQ(s.Cell(row, kColActive), "N/A") << row;
    EXPECT_EQ(s.view.colours[row - 1], kGrey) << row;
  }
  ASSERT_EQ(s.Cell(16, kColDevice), "QM8340");
  EXPECT_LT(s.world.serial.LinesToDevice(1).back().firstByteUs,
            s.world.serial.LinesToDevice(16).front().firstByteUs);
  EXPECT_FALSE(s.Form().UserBusy());
  // Row 0: nothing selected, so there is nothing to act on.
  for (const auto& [row, on] : {std::pair{1, "-++"}, std::pair{2, "+--"}, std::pair{3, "-+-"},
                                std::pair{5, "---"}, std::pair{0, "---"}}) {
    s.Select(row);
    EXPECT_EQ(Enabled(s, {Control::cmdActivate, Control::cmdDeactivate, Control::cmdUpdate}), on)
        << row;
  }
}

}  // namespace
}  // namespace horalign::test
