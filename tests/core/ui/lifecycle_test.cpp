#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

constexpr const char* kHideQuestion =
    "Horalign will stay active and will be accessible from the system tray.\r\n"
    "To terminate Horalign, please select Close. Continue?";
constexpr const char* kQuitMode1 =
    "This will terminate time synchronization of all connected devices. Are you sure you want "
    "to quit?";
constexpr const char* kQuitMode2 =
    "This will terminate time synchronization of this PC. Are you sure you want to quit?";

// The real program ends its process when it quits; here the end unwinds to the test.
struct ProgramEnded {};

// Runs `act` once from inside the event loop while Update Now works on row 1.
void DuringUpdateNow(SimApp& s, const std::function<void()>& act) {
  struct HookGuard {
    sim::VirtualLoop& loop;
    ~HookGuard() { loop.SetYieldHook(nullptr); }
  } guard{s.world.loop};
  bool done = false;
  s.world.loop.SetYieldHook([&](std::int64_t) {
    if (done || s.view.enabled) return;
    done = true;
    act();
  });
  Click(s, 1, &QV_MainForm::OnUpdateClick);
  ASSERT_TRUE(done);
}

TEST(CloseButton, AsksTheQuestionOfTheModeWithNoAsDefault) {
  struct Case {
    const char* mode;
    int answer;
    const char* question;  // nullptr: none asked
    bool ends;
  };
  for (const Case& c : {Case{"0", 0, nullptr, true}, Case{"3", 0, nullptr, true},
                        Case{"1", 7, kQuitMode1, false}, Case{"1", 6, kQuitMode1, true},
                        Case{"2", 7, kQuitMode2, false}, Case{"2", 6, kQuitMode2, true}}) {
    SimApp s;
    s.Set("Connection Mode", c.mode);
    s.Start();
    const std::size_t shown = s.dialog.shown.size();
    s.view.intervalText = "75";
    if (c.answer) s.dialog.Answer(c.answer);
    s.Form().OnCloseClick();
    EXPECT_EQ(s.Stored("Update Interval"), "75") << c.mode << ": committed first";
    EXPECT_EQ(s.view.quitCount, c.ends ? 1 : 0) << c.mode << " " << c.answer;
    if (!c.question) {
      EXPECT_EQ(s.dialog.shown.size(), shown) << c.mode;
      EXPECT_EQ(s.Stored("Connection Mode"), c.mode) << "not written back";
      continue;
    }
    ASSERT_EQ(s.dialog.shown.size(), shown + 1) << c.mode;
    EXPECT_EQ(s.dialog.Last().text, c.question);
    EXPECT_EQ(s.dialog.Last().focusCode, QV_SYS_Message::kNo);
    EXPECT_TRUE(s.view.visible);
  }
}

TEST(HideButton, AsksBeforeHidingAndMinimizesWithoutANotificationArea) {
  struct Case {
    bool tray;
    int answer;
    bool asked, visible, minimized;
  };
  for (const Case& c : {Case{true, 6, true, false, false}, Case{true, 7, true, true, false},
                        Case{false, 6, false, true, true}}) {
    SimApp s;
    s.view.trayAvailable = c.tray;
    StartIn(s, 1, 0);
    const std::size_t shown = s.dialog.shown.size();
    s.dialog.Answer(c.answer);
    s.Form().OnHideClick();
    EXPECT_EQ(s.dialog.shown.size(), shown + (c.asked ? 1 : 0)) << c.tray << c.answer;
    if (c.asked) {
      EXPECT_EQ(s.dialog.Last().text, kHideQuestion);
      EXPECT_EQ(s.dialog.Last().focusCode, QV_SYS_Message::kYes);
    }
    EXPECT_EQ(s.view.visible, c.visible) << c.tray << c.answer;
    EXPECT_EQ(s.view.minimized, c.minimized) << c.tray << c.answer;
    EXPECT_EQ(s.view.quitCount, 0);
  }
}

TEST(CloseBox, HidesOrMinimizesWithAModeAndEndsWithoutOne) {
  struct Case {
    const char* name;
    int mode;
    bool tray;
    int answer;
    bool asked, stays, visible, minimized;
  };
  for (const Case& c : {Case{"hide question, yes", 1, true, 6, true, true, false, false},
                        Case{"hide question, no", 2, true, 7, true, true, true, false},
                        Case{"no notification area", 1, false, 6, false, true, true, true},
                        Case{"no mode chosen", 0, true, 6, false, false, true, false}}) {
    SimApp s;
    s.view.trayAvailable = c.tray;
    StartIn(s, c.mode, 0);
    const std::size_t shown = s.dialog.shown.size();
    s.dialog.Answer(c.answer);
    EXPECT_EQ(s.Form().OnQueryClose(CloseReason::kUser), c.stays) << c.name;
    EXPECT_EQ(s.dialog.shown.size(), shown + (c.asked ? 1 : 0)) << c.name;
    if (c.asked) {
      EXPECT_EQ(s.dialog.Last().text, kHideQuestion) << c.name;
    }
    EXPECT_EQ(s.view.visible, c.visible) << c.name;
    EXPECT_EQ(s.view.minimized, c.minimized) << c.name;
    EXPECT_EQ(s.view.quitCount, c.stays ? 0 : 1) << c.name;
  }
}

TEST(CloseBox, IsIgnoredWhileAnOperationRunsButASessionEndIsNot) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  s.view.onQuit = [] { throw ProgramEnded{}; };
  const std::size_t shown = s.dialog.shown.size();
  bool stays = false;
  DuringUpdateNow(s, [&] { stays = s.Form().OnQueryClose(CloseReason::kUser); });
  EXPECT_TRUE(stays);
  EXPECT_EQ(s.dialog.shown.size(), shown);
  EXPECT_EQ(s.view.quitCount, 0);
  EXPECT_EQ(s.Cell(1, kColStatus), "Device updated successfully.");
  s.view.left = 321;
  EXPECT_THROW(DuringUpdateNow(s, [&] { s.Form().OnQueryClose(CloseReason::kSession); }),
               ProgramEnded);
  EXPECT_EQ(s.view.quitCount, 1);
  EXPECT_EQ(s.dialog.shown.size(), shown);
  EXPECT_EQ(s.Stored("LastX"), "321");
}

TEST(Terminate, ASessionEndOrSignalSavesThePositionAndStopsEverything) {
  for (CloseReason reason : {CloseReason::kSession, CloseReason::kSignal}) {
    SimApp s;
    s.world.AddDevice(2, {.letter = 'W'});
    StartIn(s, 1, 2);
    ASSERT_TRUE(s.app.SerialPort().PortOpen());
    s.view.left = 1234;
    s.view.top = 567;
    const std::size_t shown = s.dialog.shown.size();
    EXPECT_FALSE(s.Form().OnQueryClose(reason));
    EXPECT_EQ(s.dialog.shown.size(), shown);
    EXPECT_EQ(s.view.quitCount, 1);
    EXPECT_EQ(s.Stored("LastX"), "1234");
    EXPECT_EQ(s.Stored("LastY"), "567");
    EXPECT_FALSE(s.world.serial.IsOpen(2));
    s.view.currentTime.clear();
    s.Run(120 * 60'000);
    EXPECT_EQ(s.view.currentTime, "") << "no timer runs any more";
    EXPECT_EQ(SentStartingWith(s, 2, "T").size(), 0u);
  }
}

TEST(TrayMenu, OffersShowOrHideByVisibilityAndGreysOutDuringAnOperation) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  s.Form().OnTrayNotify(516);
  ASSERT_EQ(s.view.trayMenus.size(), 1u);
  EXPECT_FALSE(s.view.trayMenus[0].visible[0]);
  EXPECT_TRUE(s.view.trayMenus[0].visible[1]);
  EXPECT_TRUE(s.view.trayMenus[0].enabled[3]);
  s.Form().OnMenuClick(1);
  EXPECT_FALSE(s.view.visible);
  s.Form().OnTrayNotify(516);
  EXPECT_TRUE(s.view.trayMenus[1].visible[0]);
  EXPECT_FALSE(s.view.trayMenus[1].visible[1]);
  s.Form().OnTrayNotify(515);
  EXPECT_TRUE(s.view.visible);
  EXPECT_EQ(s.view.focus, Control::lvwMessages);
  DuringUpdateNow(s, [&] { s.Form().OnTrayNotify(516); });
  for (int item : {0, 1, 3}) EXPECT_FALSE(s.view.trayMenus[2].enabled[item]) << item;
  EXPECT_EQ(s.view.quitCount, 0);
  s.Form().OnMenuClick(3);
  EXPECT_EQ(s.view.quitCount, 1);
  EXPECT_EQ(s.dialog.shown.size(), 1u) << "only the F1 notice; Close asks nothing";
}

TEST(MainForm, ADestroyedWindowIsNoLongerHandedReceiverLines) {
  SimApp s;
  std::int32_t ticks = 0;
  auto form = std::make_unique<QV_MainForm>(
      MainFormDeps{s.app.Config(), s.registry, s.world.clock, s.world.loop, s.app.SerialPort(),
                   s.app.Paging(), ticks, s.view, s.pointer, s.app.Messages(), s.app.Loading()});
  ASSERT_TRUE(s.app.Paging().OnReceiverTimeLine);
  form.reset();
  EXPECT_FALSE(s.app.Paging().OnReceiverTimeLine);
}

}  // namespace
}  // namespace horalign::test
