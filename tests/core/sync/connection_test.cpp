#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

struct SpeedCase {
  const char* settings;
  int probesBeforeAnswer;  // lone-CR probe lines sent at the speeds that found nothing
};

class ConnectAtSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(ConnectAtSpeed, FindsTheDeviceAndRecordsTheSettingsItAnsweredAt) {
  const SpeedCase c = GetParam();
  SimApp s;
  s.world.AddDevice(3, {.letter = 'J', .serial = "54321", .settings = c.settings});
  StartIn(s, 1, 0);
  Click(s, 3, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.Cell(3, kColActive), "Yes");
  EXPECT_EQ(s.Cell(3, kColStatus), "Connected to device.");
  EXPECT_EQ(s.Cell(3, kColStatusTime), StampNow(s));
  EXPECT_EQ(s.Cell(3, kColSettings), c.settings);
  EXPECT_EQ(s.Cell(3, kColDevice), "KR9010");
  EXPECT_EQ(s.Cell(3, kColSerial), "54321");
  EXPECT_EQ(s.Cell(3, kColDetected), "Yes");
  EXPECT_EQ(s.view.colours[2], kGreen);
  EXPECT_EQ(s.Stored("Used COM Ports"), "4");
  // Every probe at a wrong speed sends two CRs, which the device hears as noise.
  int failedProbeBytes = 0;
  for (const auto& b : s.world.serial.WireLog()) {
    if (b.port == 3 && b.direction == sim::WireDirection::kToDevice && b.garbled) {
      ++failedProbeBytes;
    }
  }
  EXPECT_EQ(failedProbeBytes, 2 * c.probesBeforeAnswer);
}

INSTANTIATE_TEST_SUITE_P(Speeds, ConnectAtSpeed,
                         ::testing::Values(SpeedCase{"9600,N,8,1", 0}, SpeedCase{"38400,N,8,1", 1},
                                           SpeedCase{"1200,N,8,1", 2}));

TEST(Connect, APortWithNothingAttachedStaysActiveInDarkRedAfterAboutFourteenSeconds) {
  SimApp s;
  StartIn(s, 1, 0);
  const std::int64_t before = s.world.time.NowUs();
  Click(s, 6, &QV_MainForm::OnActivateClick);
  const std::int64_t tookUs = s.world.time.NowUs() - before;
  // 40 ticks at 9600 baud, then 120 ticks at each of the two other speeds.
  EXPECT_GE(tookUs, 14'000'000);
  EXPECT_LT(tookUs, 14'600'000);
  EXPECT_EQ(s.Cell(6, kColActive), "Yes");
  EXPECT_EQ(s.Cell(6, kColStatus), "Unable to connect to device - check settings.");
  EXPECT_EQ(s.Cell(6, kColSettings), "9600,N,8,1");
  EXPECT_EQ(s.Cell(6, kColDevice), "N/A");
  EXPECT_EQ(s.Cell(6, kColSerial), "N/A");
  EXPECT_EQ(s.Cell(6, kColDetected), "No");
  EXPECT_EQ(s.view.colours[5], kDarkRed);
  EXPECT_EQ(s.Stored("Used COM Ports"), "32");
  EXPECT_EQ(SentTo(s, 6), std::vector<std::string>(6, "\r"));
}

TEST(Connect, APortThatCannotBeOpenedIsTreatedAsNothingAttached) {
  SimApp s;
  StartIn(s, 1, 0);
  s.world.serial.HoldPort(4, true);
  Click(s, 4, &QV_MainForm::OnActivateClick);
  EXPECT_EQ(s.Cell(4, kColActive), "Yes");
  EXPECT_EQ(s.Cell(4, kColStatus), "Unable to connect to device - check settings.");
  EXPECT_EQ(s.Cell(4, kColDetected), "No");
  EXPECT_EQ(s.view.colours[3], kDarkRed);
  EXPECT_TRUE(SentTo(s, 4).empty());
}

TEST(Scan, ShowsPortsThatDoNotOpenAsUnavailable) {
  SimApp s;
  s.world.AddDevice(2, {.letter = 'W'});
  StartIn(s, 1, 2);
  s.world.serial.Unplug(5);
  s.world.serial.HoldPort(9, true);
  s.Form().OnRefreshClick();
  for (int row : {5, 9}) {
    EXPECT_EQ(s.Cell(row, kColActive), "N/A") << row;
    EXPECT_EQ(s.Cell(row, kColStatus), "Disconnected from device.") << row;
    EXPECT_EQ(s.view.colours[row - 1], kGrey) << row;
  }
  EXPECT_EQ(s.Cell(4, kColActive), "No");
  EXPECT_EQ(s.Cell(2, kColActive), "Yes");
  EXPECT_EQ(s.Cell(2, kColDevice), "QM8340");
  EXPECT_FALSE(s.Form().UserBusy());
  EXPECT_TRUE(s.view.enabled);
}

TEST(ActionButtons, FollowTheSelectedRow) {
  SimApp s;
  s.world.AddDevice(1, {.letter = sim::kNoLetter});
  StartIn(s, 2, 1);
  s.world.serial.Unplug(7);
  s.Form().OnRefreshClick();
  struct Case {
    int row;
    bool activate, deactivate, update;
  };
  // Row 0: nothing selected, so there is nothing to act on.
  for (const Case c : {Case{1, false, true, false}, Case{2, true, false, false},
                       Case{0, false, false, false}, Case{7, false, false, false}}) {
    s.Select(c.row);
    EXPECT_EQ(s.view.ControlEnabled(Control::cmdActivate), c.activate) << c.row;
    EXPECT_EQ(s.view.ControlEnabled(Control::cmdDeactivate), c.deactivate) << c.row;
    EXPECT_EQ(s.view.ControlEnabled(Control::cmdUpdate), c.update) << c.row;
  }
}

}  // namespace
}  // namespace horalign::test
