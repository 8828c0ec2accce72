// The window beside a service that owns the ports: it shows the service's rows and settings
// and passes the user's actions on; it opens no port, keeps no schedule, and holds the
// window until the service has answered.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using enum Control;
using Kind = ServiceRequestKind;

class FakeService : public ServiceLink {
 public:
  Listener listener;
  std::vector<ServiceRequest> asked;
  std::deque<std::function<void(const std::string&)>> pending;

  void Watch(Listener l) override { listener = std::move(l); }
  void Ask(const ServiceRequest& request,
           std::function<void(const std::string& problem)> done) override {
    asked.push_back(request);
    pending.push_back(std::move(done));
  }
  void Answer(const std::string& problem = "") {
    auto done = std::move(pending.front());
    pending.pop_front();
    done(problem);
  }
};

ServiceRow Row(int port, const char* active, const char* status, const char* device = "",
               bool detected = true) {
  return {port,
          "/dev/ttyUSB" + std::to_string(port),
          active,
          status,
          "12/07/2026 10:00:00",
          device,
          "10001",
          "9600,N,8,1",
          detected};
}

struct ClientTest : ::testing::Test {
  FakeService service;
  sim::SimApp s{{}, &service};
  // Right after the start, before the service has answered: the rows, the selected row,
  // whether the window, Refresh, the mode list, its label and Close are enabled, the focus.
  std::tuple<std::size_t, int, bool, bool, bool, bool, bool, Control> loaded;

  void SetUp() override {
    // A device a scan of the window's own would find and open.
    s.world.AddDevice(2);
    // This user's own settings say nothing of the service's.
    s.Set("Connection Mode", "0");
    s.Set("Used COM Ports", "4");
    ASSERT_TRUE(s.Start());
    const auto on = [this](Control c) { return s.view.ControlEnabled(c); };
    loaded = {s.view.rows.size(), s.view.selectedRow, s.view.enabled, on(cmdRefresh),
              on(cmb_Mode),       on(lbl_Mode),       on(cmdClose),   s.view.focus};
    service.listener.settings({1, 0b10, 75, false, false});
    service.listener.row(Row(1, "No", "Device not found.", "", false));
    service.listener.row(Row(2, "Yes", "Connected to device.", "QM8340"));
    service.listener.row(Row(3, "No", "Connected to device.", "QM6840"));
    service.listener.row(Row(4, "Yes", "Connected to device.", "Receiver"));
  }
  // The user picks the mode at `index` in the list and confirms the change.
  void ChooseMode(int index) {
    s.dialog.Answer(QV_SYS_Message::kYes);
    s.view.modeIndex = index;
    s.Form().OnModeClick();
  }
  int Opens() {
    int opens = 0;
    for (int n = 1; n <= 16; ++n) opens += s.world.serial.OpenAttempts(n);
    return opens;
  }
};

TEST_F(ClientTest, ShowsTheServiceRowsLiveAndSaysOnceThatTheServiceOwnsThePorts) {
  // No mode known yet: only the mode list and Close, as on a first start.
  EXPECT_EQ(loaded, std::tuple(16u, 1, true, false, true, true, true, lvwMessages));
  ASSERT_EQ(s.dialog.shown.size(), 1u);
  EXPECT_EQ(Seen(s.dialog.Last()), "I 1 f1 e1: " + std::string(kServiceOwnsPortsText));
  EXPECT_EQ(std::tuple(s.Cell(2, kColActive), s.Cell(2, kColStatus), s.Cell(2, kColDevice),
                       s.Cell(2, kColSerial), s.Cell(1, kColDetected)),
            std::tuple("Yes", "Connected to device.", "QM8340", "10001", "No"));
  EXPECT_EQ(std::tuple(s.view.modeIndex, s.view.intervalText), std::tuple(0, "0075"));
  EXPECT_EQ(s.view.colours[1], kGreen);
  // A row the service changes later changes here, and the buttons follow the selected one;
  // a row the service has not filled yet changes nothing.
  s.Select(2);
  service.listener.row(Row(2, "Yes", "Failed to update time.", "QM8340", false));
  EXPECT_EQ(std::tuple(s.Cell(2, kColStatus), s.Cell(2, kColStatusTime), s.view.colours[1]),
            std::tuple("Failed to update time.", "12/07/2026 10:00:00", kDarkRed));
  service.listener.row(Row(2, "No", "Disconnected from device.", "QM8340"));
  EXPECT_EQ(std::tuple(Enabled(s, {cmdActivate, cmdDeactivate}), s.view.colours[1]),
            std::tuple("+-", kGrey));
  service.listener.row(Row(2, "", "", ""));
  EXPECT_EQ(s.Cell(2, kColStatus), "Disconnected from device.");
  service.listener.row(Row(5, "N/A", "Port not available."));
  s.Select(5);
  EXPECT_EQ(Enabled(s, {cmdActivate, cmdUpdate}), "--");
  // A receiver is only listened to: nothing to update on its row.
  s.Select(4);
  EXPECT_EQ(Enabled(s, {cmdDeactivate, cmdUpdate}), "+-");
  // Two hours of the window's minute timer and the Refresh asked for: the service does it all.
  s.Run(2 * 60 * 60 * 1000);
  s.Form().OnRefreshClick();
  service.Answer();
  EXPECT_EQ(std::tuple(Opens(), service.asked.size(), s.dialog.shown.size()),
            std::tuple(0, 1u, 1u));
}

TEST_F(ClientTest, PassesEachActionOnAndHoldsTheWindowUntilTheServiceHasAnswered) {
  struct Case {
    const char* what;
    std::function<void()> act;
    Kind kind;
    std::int64_t value;
  };
  const std::vector<Case> cases = {
      {"Update Now on row 02", [&] { s.Select(2), s.Form().OnUpdateClick(); }, Kind::kUpdate, 2},
      {"Activate row 03", [&] { s.Select(3), s.Form().OnActivateClick(); }, Kind::kSetActivePorts,
       0b110},
      {"Deactivate row 02", [&] { s.Select(2), s.Form().OnDeactivateClick(); },
       Kind::kSetActivePorts, 0},
      {"Refresh", [&] { s.Form().OnRefreshClick(); }, Kind::kRescan, 0},
      {"an interval of 90", [&] { s.view.intervalText = "90", s.Form().OnIntervalLostFocus(); },
       Kind::kSetInterval, 90},
      {"mode 2, confirmed", [&] { ChooseMode(1); }, Kind::kSetMode, 2},
      // In mode 2 Update Now sets the PC clock from the device.
      {"Update Now in mode 2",
       [&] {
         service.listener.settings({2, 0b10, 75, false, false});
         s.Select(2), s.Form().OnUpdateClick();
       },
       Kind::kReadTime, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    service.asked.clear();
    // What the service does is its own: none of this user's settings is written, and no scan
    // of the window's own shows the loading message.
    const std::tuple kept(s.registry.WriteCount(), s.loading.showCount);
    c.act();
    ASSERT_EQ(service.asked.size(), 1u);
    EXPECT_EQ(std::tuple(service.asked[0].kind, service.asked[0].value),
              std::tuple(c.kind, c.value));
    EXPECT_EQ(std::tuple(s.view.enabled, s.Form().UserBusy()), std::tuple(false, true));
    s.view.focus = txtInterval;
    service.Answer();
    EXPECT_EQ(std::tuple(s.view.enabled, s.view.ControlEnabled(cmdRefresh), s.view.focus),
              std::tuple(true, true, lvwMessages));
    EXPECT_EQ(std::tuple(s.registry.WriteCount(), s.loading.showCount), kept);
  }
  EXPECT_EQ(Opens(), 0);
}

// The service pushes the time after a jump of the PC clock, even where it asks for pushes and
// the window's rows would take one: the window opens no port, asks nothing, writes none of this
// user's settings and stays usable.
TEST_F(ClientTest, LeavesThePushesAfterAClockJumpToTheService) {
  service.listener.settings({1, 0b1010, 75, true, false});
  service.listener.row(Row(3, "Yes", "Connected to device.", "QM6840"));
  // Steps, new offsets and resumes come to the window as one notice, turned away before its
  // kind is looked at: a step stands for all three.
  const std::tuple before(Opens(), service.asked.size(), s.registry.WriteCount(), true);
  s.world.clock.StepWithNotice(3'600'000'000);
  s.Run(10'000);
  EXPECT_EQ(std::tuple(Opens(), service.asked.size(), s.registry.WriteCount(), s.view.enabled),
            before);
}

TEST_F(ClientTest, ARefusalIsToldAndTheWindowShowsWhatTheServiceKeeps) {
  // The columns are sized as the window's own scan sizes them.
  sim::SimApp alone;
  ASSERT_TRUE(alone.Start());
  for (int c = 0; c < kPortColumns; ++c) {
    EXPECT_EQ(s.view.columns[c].widthTwips, alone.view.columns[c].widthTwips);
  }
  s.view.intervalText = "90";
  s.Form().OnIntervalLostFocus();
  service.Answer("Not authorized.");
  EXPECT_EQ(Seen(s.dialog.Last()),
            "E 1 f1 e1: " + std::string(kServiceRefusedText) + "Not authorized.");
  EXPECT_EQ(std::tuple(s.view.intervalText, s.view.enabled, s.Form().UserBusy(), s.view.focus),
            std::tuple("0075", true, false, lvwMessages));
  ChooseMode(1);
  service.Answer("Not authorized.");
  EXPECT_EQ(s.view.modeIndex, 0);

  // The service goes: the rows stay, only leaving is offered; it comes back: all again.
  s.Select(2);
  ASSERT_TRUE(s.view.ControlEnabled(cmdUpdate));
  service.listener.availability(false, "the service has stopped");
  EXPECT_EQ(Seen(s.dialog.Last()),
            "E 1 f1 e1: " + std::string(kServiceGoneText) + " (the service has stopped).");
  EXPECT_EQ(
      std::tuple(s.Cell(2, kColStatus), Enabled(s, {cmdUpdate, cmdRefresh, cmdClose, cmdHide})),
      std::tuple("Connected to device.", "--++"));
  service.listener.availability(true, "");
  EXPECT_EQ(Enabled(s, {cmdUpdate, cmdRefresh, cmdActivate}), "++-");

  // The service without a mode: a mode refused leaves the list without one.
  service.listener.settings({0, 0, 75, false, false});
  EXPECT_EQ(std::tuple(s.view.modeIndex, s.view.ControlEnabled(cmdRefresh)), std::tuple(-1, false));
  ChooseMode(0);
  service.Answer("Not authorized.");
  EXPECT_EQ(s.view.modeIndex, -1);

  // An answer that comes after the window has closed is dropped.
  const std::size_t told = s.dialog.shown.size();
  ChooseMode(0);
  s.Form().OnPopupOptionsClick(TrayMenuItem::kClose);
  service.Answer("Not authorized.");
  EXPECT_EQ(s.dialog.shown.size(), told + 1);  // the question only
}

// The service holds an update back: the window asks once, and Yes asks again, forced.
TEST_F(ClientTest, AnUpdateTheServiceHoldsBackIsAskedForOnceAndForcedOnYes) {
  for (const int answer : {QV_SYS_Message::kNo, QV_SYS_Message::kYes}) {
    service.asked.clear();
    const std::size_t shown = s.dialog.shown.size();
    s.Select(2);
    s.Form().OnUpdateClick();
    s.dialog.Answer(answer);
    service.Answer("Waiting: PC clock not synchronized.");
    ASSERT_EQ(s.dialog.shown.size(), shown + 1);
    EXPECT_EQ(s.dialog.Last().text,
              "The PC clock is not synchronized.\r\nWrite its time to the device anyway?");
    std::vector<std::pair<Kind, std::int64_t>> asked;
    for (const ServiceRequest& r : service.asked) asked.emplace_back(r.kind, r.value);
    std::vector<std::pair<Kind, std::int64_t>> expected = {{Kind::kUpdate, 2}};
    if (answer == QV_SYS_Message::kYes) expected.emplace_back(Kind::kUpdateForced, 2);
    EXPECT_EQ(asked, expected);
    if (answer == QV_SYS_Message::kYes) service.Answer();
    EXPECT_TRUE(s.view.enabled);
  }
}

}  // namespace
}  // namespace horalign::test
