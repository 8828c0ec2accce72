#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;
using enum Control;
using Form = QV_MainForm;

constexpr std::int64_t kMinuteUs = 60'000'000;

// A shown message as "<icon> <buttons shown> f<focus button>: <text>", the caption in brackets
// when it is not the usual one. Icons: Critical, Question, Exclamation, Information.
std::string Seen(const MessageLayout& m) {
  std::string seen = std::string(1, "CQEI"[static_cast<int>(m.icon)]) + " ";
  for (const auto& b : m.buttons) seen += b.visible ? std::to_string(b.code) : "";
  seen += " f" + std::to_string(m.focusCode);
  if (m.caption != "Horalign - System Message") seen += " [" + m.caption + "]";
  return seen + (m.optionVisible ? " +option: " : ": ") + m.text;
}

std::vector<int> Widths(const SimApp& s) {
  std::vector<int> widths;
  for (const auto& column : s.view.columns) widths.push_back(column.widthTwips);
  return widths;
}

// What the user sees while the window is disabled for an action: row `row`'s status texts in
// turn, whether the loading message showed, and at the first such yield whether the user
// counted as busy and the control group was off. `act` runs at that first yield.
struct Locked {
  std::vector<std::string> statuses;
  bool busy = false, controlsOff = false, loading = false;
};
Locked WhileLocked(
    SimApp& s, int row, const std::function<void()>& run,
    const std::function<void()>& act = [] {}) {
  Locked seen;
  bool first = true;
  s.world.loop.SetYieldHook([&](std::int64_t) {
    if (s.view.enabled) return;
    if (std::exchange(first, false)) {
      seen.busy = s.Form().UserBusy();
      seen.controlsOff = !s.view.ControlEnabled(cmdClose);
      act();
    }
    seen.loading |= s.loading.visible;
    const std::string& status = s.Cell(row, kColStatus);
    if (seen.statuses.empty() || seen.statuses.back() != status) seen.statuses.push_back(status);
  });
  struct Unhook {
    sim::VirtualLoop& loop;
    ~Unhook() { loop.SetYieldHook(nullptr); }
  } unhook{s.world.loop};
  run();
  if (seen.statuses.back() != s.Cell(row, kColStatus))
    seen.statuses.push_back(s.Cell(row, kColStatus));
  return seen;
}

TEST(TextFormat, ClockTextsUseTwelveHoursAndTheLocaleAndStampsTwoYearDigits) {
  struct Case {
    CivilTime t;
    const char *time, *date, *stamp;
  };
  const LocaleFormat locale{'-', '.', "am", "pm"};
  for (const Case& c :
       {Case{{2026, 12, 5, 0, 5, 9}, "12.05.09 am", "12-05-2026", "12-05-26, 12.05.09 am"},
        Case{{2009, 1, 2, 12, 0, 0}, "12.00.00 pm", "01-02-2009", "01-02-09, 12.00.00 pm"},
        Case{{2031, 10, 31, 11, 59, 59}, "11.59.59 am", "10-31-2031", "10-31-31, 11.59.59 am"},
        Case{{2100, 7, 30, 23, 40, 1}, "11.40.01 pm", "07-30-2100", "07-30-00, 11.40.01 pm"},
        Case{{987, 6, 7, 13, 9, 10}, "01.09.10 pm", "06-07-0987", "06-07-87, 01.09.10 pm"}}) {
    EXPECT_EQ(std::tuple(FormatClockTime(c.t, locale), FormatClockDate(c.t, locale),
                         FormatStatusTime(c.t, locale)),
              std::tuple(c.time, c.date, c.stamp));
  }
  EXPECT_EQ(ZeroPad(-7, 3), "-007");
  for (int key : {48, 57, 8, 19}) EXPECT_EQ(NumericKeyFilter(key), key) << key;
  for (int key : {47, 58, 20, 97}) EXPECT_EQ(NumericKeyFilter(key), 0) << key;
}

// Ports 1 and 16 were active when the program last ran without a mode; COM 15 is taken by
// another program.
TEST(MainWindow, WithoutAModeTheScanRunsThenAModeIsAskedForAndNoDeviceIsServed) {
  SimApp s;
  for (int port : {1, 16}) s.world.AddDevice(port, {.letter = 'W'});
  s.world.serial.HoldPort(15, true);
  s.Set("Used COM Ports", "32769");
  std::int64_t helpShownUs = -1;
  s.dialog.Answer(1);
  s.dialog.Respond([&](auto&, auto&) { helpShownUs = s.world.time.NowUs(); });
  std::vector<int> widthsWhileScanning;
  bool visibleWhileScanning = false;
  const Locked load = WhileLocked(
      s, 1, [&] { ASSERT_TRUE(s.Start()); },
      [&] {
        widthsWhileScanning = Widths(s);
        visibleWhileScanning = s.view.visible;
      });
  EXPECT_TRUE(visibleWhileScanning && load.controlsOff && load.loading && !load.busy);
  EXPECT_EQ(widthsWhileScanning, (std::vector<int>{879, 879, 3516, 2197, 0, 1758, 0, 0, 0, 0}));
  EXPECT_EQ(s.loading.text, "Loading COM ports and detecting devices. Please wait...");
  EXPECT_EQ(std::tuple(s.view.caption, s.view.left, s.view.top, s.view.intervalText),
            std::tuple("Horalign (Version 1.41)", 400, 200, "0060"));
  EXPECT_EQ(s.view.trayIcons, std::vector<std::string>{"Horalign (Version 1.41)"});
  ASSERT_EQ(s.view.rows.size(), 16u);
  for (int row = 1; row <= 16; ++row) {
    EXPECT_EQ(s.Cell(row, kColPort), (row < 10 ? "0" : "") + std::to_string(row));
    EXPECT_EQ(s.Cell(row, kColActive), row == 15 ? "N/A" : row % 15 == 1 ? "Yes" : "No");
    if (row % 15 != 1) {
      EXPECT_EQ(s.Cell(row, kColStatusTime), "12/05/26, 02:05:09 PM");
    }
  }
  ASSERT_EQ(s.dialog.shown.size(), 2u);
  EXPECT_EQ(Seen(s.dialog.shown[0].layout),
            "I 1 f1: To activate, please select Synchronization Mode.");
  EXPECT_EQ(Seen(s.dialog.shown[1].layout), "I 1 f1: Help is available by pressing F1.");
  EXPECT_EQ(s.world.time.NowUs() - helpShownUs, 5'000'000) << "the help notice closes itself";
  EXPECT_EQ(s.view.modeIndex, -1);
  for (Control c : {cmdClose, lbl_Mode, cmb_Mode}) EXPECT_TRUE(s.view.ControlEnabled(c));
  for (Control c : {lblInterval, cmdHide, cmdActivate}) EXPECT_FALSE(s.view.ControlEnabled(c));
  EXPECT_EQ(s.view.focus, cmb_Mode);
  EXPECT_FALSE(s.pointer.busy || s.loading.visible);
  // The cycle serves nothing without a mode, yet it enables the whole control group.
  const std::size_t lines = SentTo(s, 1).size() + SentTo(s, 16).size();
  RunToUs(s, 61 * kMinuteUs);
  EXPECT_EQ(SentTo(s, 1).size() + SentTo(s, 16).size(), lines);
  EXPECT_TRUE(s.view.ControlEnabled(cmdHide));
  EXPECT_EQ(s.Form().MinuteCount(), 1);
  EXPECT_EQ(s.view.currentTime + " " + s.view.currentDate, "03:06:09 PM 12/05/2026");
  s.Form().OnHelp();
  EXPECT_EQ(s.view.helpTopics, std::vector<int>{100000});
}

// A stored edge off the screen becomes 100. The 16 rows of 255 twips and the header need 17
// rows' height; a shorter list keeps 250 twips of its width for a scroll bar.
TEST(MainWindow, IsPlacedOnTheScreenAndSharesTheListWidthByWeight) {
  const std::vector<int> room{855, 855, 3420, 2138, 0, 1710, 0, 0, 0, 0};
  const std::vector<int> noRoom{879, 879, 3516, 2197, 0, 1758, 0, 0, 0, 0};
  struct Case {
    const char *x, *y;
    int left, top, listHeight, rowHeight;
    std::vector<int> widths;
  };
  for (const Case& c :
       {Case{"-1", "-1", 100, 100, 3700, 255, room}, Case{"0", "0", 0, 0, 4334, 255, room},
        Case{"28800", "16200", 28800, 16200, 4335, 255, noRoom},
        Case{"28801", "16201", 100, 100, 3700, 0, noRoom}}) {
    SimApp s;
    s.Set("LastX", c.x);
    s.Set("LastY", c.y);
    s.view.listHeightTwips = c.listHeight;
    s.view.rowHeightTwips = c.rowHeight;
    s.Start();
    EXPECT_EQ(std::tuple(s.view.left, s.view.top, Widths(s)), std::tuple(c.left, c.top, c.widths))
        << c.x << " " << c.listHeight << " " << c.rowHeight;
    std::vector<std::string> titles;
    for (const auto& column : s.view.columns) titles.push_back(column.title);
    EXPECT_EQ(titles,
              (std::vector<std::string>{"COM Port", "Active", "Status", "Status Date & Time",
                                        "Settings", "Device", "", "", "S/N", "Detected"}));
  }
}

// Each action shows its progress in the row it works on, counts the user busy from its first
// yield (so a cycle falling due meanwhile is skipped), and ends with the focus back on the
// list and the action buttons in line with the row.
TEST(MainWindow, EachActionShowsItsProgressAndCountsTheUserBusy) {
  struct Case {
    int mode, row;
    void (Form::*click)();
    std::vector<std::string> statuses;
    bool busy, controlsOff, loading;
    const char *active, *used;
  };
  const std::string on = "Connected to device.", off = "Disconnected from device.";
  for (const Case& c :
       {Case{1,
             3,
             &Form::OnActivateClick,
             {off, "Connecting to device...", on},
             true,
             true,
             false,
             "Yes",
             "5"},
        Case{1, 1, &Form::OnDeactivateClick, {on, off}, true, false, false, "No", "0"},
        Case{1,
             1,
             &Form::OnUpdateClick,
             {on, "Writing date & time to device...", "Device updated successfully."},
             true,
             true,
             false,
             "Yes",
             "1"},
        Case{2,
             1,
             &Form::OnUpdateClick,
             {on, "Reading date & time from device...", "PC updated successfully."},
             true,
             true,
             false,
             "Yes",
             "1"},
        Case{1,
             1,
             &Form::OnRefreshClick,
             {on, "Connecting to device...", on},
             true,
             true,
             true,
             "Yes",
             "1"},
        Case{1, 1, &Form::OnModeClick, {on, off}, false, true, true, "No", "0"}}) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.statuses.back());
    SimApp s;
    s.world.AddDevice(1, {.letter = c.mode == 1 ? 'W' : 'J'});
    s.world.AddDevice(3, {.letter = 'W'});
    StartIn(s, c.mode, 1);
    if (c.click == &Form::OnModeClick) s.view.modeIndex = 1, s.dialog.Answer(6);
    s.view.focus = cmdClose;  // the focus is on the button pressed
    const Locked seen = WhileLocked(s, c.row, [&] { Click(s, c.row, c.click); });
    EXPECT_EQ(seen.statuses, c.statuses);
    EXPECT_EQ(std::tuple(seen.busy, seen.controlsOff, seen.loading),
              std::tuple(c.busy, c.controlsOff, c.loading));
    EXPECT_EQ(std::tuple(s.Cell(c.row, kColActive), s.Stored("Used COM Ports"), s.view.rows.size()),
              std::tuple(c.active, c.used, 16u));
    EXPECT_FALSE(s.Form().UserBusy() || s.pointer.busy || s.loading.visible);
    EXPECT_TRUE(s.view.enabled && s.view.ControlEnabled(cmdRefresh));
    EXPECT_EQ(s.view.focus, lvwMessages);
    EXPECT_EQ(s.view.ControlEnabled(cmdActivate), *c.active == 'N');
    EXPECT_EQ(s.view.ControlEnabled(cmdDeactivate), *c.active == 'Y');
  }
}

TEST(MainWindow, TheFocusGoesOnlyToAnEnabledControlOfAVisibleEnabledWindow) {
  for (int blocked = 0; blocked < 4; ++blocked) {
    SimApp s;
    StartIn(s, 1, 0);
    s.view.visible = blocked != 0;
    s.view.enabled = blocked != 1;
    s.view.controlVisible[cmdHide] = blocked != 2;
    s.view.controlEnabled[cmdHide] = blocked != 3;
    s.Form().SetFocusSafe(cmdHide);
    EXPECT_EQ(s.view.focus, lvwMessages) << blocked;
  }
}

// The program ends through Close (asking in a mode, with No as the default; a question that
// cannot be asked, -1, ends too), the tray menu's Close, the close box without a mode, or a
// session end. Hide and the close box with a mode ask before hiding, and minimize when there
// is no notification area.
TEST(MainWindow, ClosingAsksByModeAndEndsHidesOrMinimizes) {
  constexpr const char* kQuit1 =
      "This will terminate time synchronization of all connected devices. Are you sure you want "
      "to quit?";
  constexpr const char* kQuit2 =
      "This will terminate time synchronization of this PC. Are you sure you want to quit?";
  constexpr const char* kHide =
      "Horalign will stay active and will be accessible from the system tray.\r\n"
      "To terminate Horalign, please select Close. Continue?";
  struct Case {
    char how;  // Close button, Hide button, close boX, tray Menu, Session end
    int mode;
    bool tray;
    int answer;
    const char* question;
    int focus;
    const char* outcome;
  };
  for (const Case& c :
       {Case{'C', 0, true, 0, nullptr, 0, "ended"}, Case{'C', 3, true, 0, nullptr, 0, "ended"},
        Case{'C', 1, true, 7, kQuit1, 7, "shown"}, Case{'C', 1, true, 6, kQuit1, 7, "ended"},
        Case{'C', 2, true, 7, kQuit2, 7, "shown"}, Case{'c', 2, true, 0, kHide, 6, "ended"},
        Case{'M', 1, true, 0, nullptr, 0, "ended"}, Case{'S', 1, true, 0, nullptr, 0, "ended"},
        Case{'H', 1, true, 6, kHide, 6, "hidden"}, Case{'H', 1, true, 7, kHide, 6, "shown"},
        Case{'H', 1, false, 6, nullptr, 0, "minimized"}, Case{'X', 1, true, 6, kHide, 6, "hidden"},
        Case{'X', 2, true, 7, kHide, 6, "shown"}, Case{'X', 1, false, 6, nullptr, 0, "minimized"},
        Case{'X', 0, true, 6, nullptr, 0, "ended"}}) {
    SCOPED_TRACE(testing::Message() << c.how << c.mode << c.tray << c.answer);
    SimApp s;
    s.view.trayAvailable = c.tray;
    StartIn(s, c.mode, 0);
    const std::size_t shown = s.dialog.shown.size();
    s.view.intervalText = "75";
    if (c.answer > 0) s.dialog.Answer(c.answer);
    const bool ended = std::string(c.outcome) == "ended";
    switch (c.how) {
      case 'C':
        s.Form().OnCloseClick();
        break;
      case 'H':
        s.Form().OnHideClick();
        break;
      case 'M':
        s.Form().OnMenuClick(3);
        break;
      case 'c':  // Close pressed while the hide question is up: the quit question cannot be asked
        s.dialog.Respond(
            [&](auto&, MessageController& m) { s.Form().OnCloseClick(), m.OnButton(7); });
        s.Form().OnHideClick();
        break;
      default:
        EXPECT_EQ(s.Form().OnQueryClose(c.how == 'X' ? CloseReason::kUser : CloseReason::kSession),
                  !ended);
    }
    ASSERT_EQ(s.dialog.shown.size(), shown + (c.question ? 1 : 0));
    if (c.question) {
      EXPECT_EQ(Seen(s.dialog.Last()), "Q 67 f" + std::to_string(c.focus) + ": " + c.question);
    }
    EXPECT_EQ(s.view.quitCount   ? "ended"
              : s.view.minimized ? "minimized"
              : s.view.visible   ? "shown"
                                 : "hidden",
              std::string(c.outcome));
    EXPECT_EQ(s.view.quitCount, ended ? 1 : 0);
    EXPECT_EQ(s.Stored("Update Interval"),
              tolower(c.how) == 'c' ? std::optional<std::string>("75") : std::nullopt);
  }
}

// The real program ends its process when it quits; here the end unwinds to the test.
struct ProgramEnded {};

// The tray menu offers Show or Hide by the window's visibility and greys out while an action
// runs; the close box then waits, but a session end does not: it ends the program in order.
TEST(MainWindow, DuringAnActionTheTrayMenuIsGreyAndOnlyASessionEndEndsTheProgram) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  s.Form().OnTrayNotify(516);
  s.Form().OnMenuClick(1);
  EXPECT_FALSE(s.view.visible);
  s.Form().OnTrayNotify(516);
  ASSERT_EQ(s.view.trayMenus.size(), 2u);
  for (int menu : {0, 1}) {
    EXPECT_EQ(s.view.trayMenus[menu].visible[0], menu == 1) << menu;
    EXPECT_EQ(s.view.trayMenus[menu].visible[1], menu == 0) << menu;
    EXPECT_TRUE(s.view.trayMenus[menu].enabled[3]) << menu;
  }
  s.Form().OnTrayNotify(515);
  EXPECT_TRUE(s.view.visible);
  EXPECT_EQ(s.view.focus, lvwMessages);
  bool stays = false;
  WhileLocked(
      s, 1, [&] { Click(s, 1, &Form::OnUpdateClick); },
      [&] {
        s.Form().OnTrayNotify(516);
        stays = s.Form().OnQueryClose(CloseReason::kUser);
      });
  for (int item : {0, 1, 3}) EXPECT_FALSE(s.view.trayMenus[2].enabled[item]) << item;
  EXPECT_TRUE(stays);
  EXPECT_EQ(s.Cell(1, kColStatus), "Device updated successfully.");
  s.view.onQuit = [] { throw ProgramEnded{}; };
  std::tie(s.view.left, s.view.top) = std::pair(1234, 567);
  EXPECT_THROW(WhileLocked(
                   s, 1, [&] { Click(s, 1, &Form::OnUpdateClick); },
                   [&] { s.Form().OnQueryClose(CloseReason::kSignal); }),
               ProgramEnded);
  EXPECT_EQ(std::tuple(s.view.quitCount, s.Stored("LastX"), s.Stored("LastY")),
            std::tuple(1, "1234", "567"));
  EXPECT_EQ(s.dialog.shown.size(), 1u) << "only the F1 notice";
  EXPECT_FALSE(s.world.serial.IsOpen(1));
  const std::size_t lines = SentTo(s, 1).size();
  s.view.currentTime.clear();
  s.Run(120 * 60'000);
  EXPECT_EQ(std::tuple(s.view.currentTime, SentTo(s, 1).size()), std::tuple("", lines))
      << "no timer runs any more";
}

// The first cycle comes on the tick that reaches the stored interval (30, below the minimum:
// that cycle corrects it to 60); later ones come whole intervals apart; Update Now leaves the
// count alone, and a cycle due while the user is busy is skipped for a whole interval.
TEST(MainWindow, CyclesComeWholeIntervalsApartAndSkipABusyUser) {
  SimApp s;
  s.world.AddDevice(16, {.letter = 'W'});
  s.Set("Update Interval", "30");
  StartIn(s, 1, 32768);
  EXPECT_EQ(s.view.intervalText, "0030");
  auto writes = [&] { return SentStartingWith(s, 16, "T").size(); };
  RunToUs(s, 30 * kMinuteUs - 1000);
  EXPECT_EQ(std::tuple(writes(), s.Form().MinuteCount()), std::tuple(0u, 29));
  RunToUs(s, 30 * kMinuteUs + 1'100'000);
  EXPECT_EQ(std::tuple(writes(), s.Stored("Update Interval"), s.view.intervalText),
            std::tuple(1u, "60", "0060"));
  EXPECT_FALSE(s.view.ControlEnabled(cmdDeactivate)) << "in line with row 01 again";
  RunToUs(s, 40 * kMinuteUs + 30'000'000);
  Click(s, 16, &Form::OnUpdateClick);
  RunToUs(s, 41 * kMinuteUs - 1000);
  EXPECT_EQ(std::tuple(writes(), s.Form().MinuteCount()), std::tuple(2u, 10));
  RunToUs(s, 41 * kMinuteUs);
  EXPECT_EQ(s.Form().MinuteCount(), 11);
  RunToUs(s, 90 * kMinuteUs - 5'000'000);
  Click(s, 6, &Form::OnActivateClick);  // an empty port takes some 14 s, across minute 90
  RunToUs(s, 150 * kMinuteUs - 1000);
  EXPECT_EQ(std::tuple(writes(), s.Form().MinuteCount()), std::tuple(2u, 59));
  RunToUs(s, 150 * kMinuteUs + 1'100'000);
  EXPECT_EQ(writes(), 3u);
}

TEST(MainWindow, ACycleLongerThanAMinuteDropsTheTickDueMeanwhile) {
  SimApp s;
  for (int port = 1; port <= 5; ++port) s.world.AddDevice(port, {.silent = true});
  StartIn(s, 1, 31);
  RunToUs(s, 60 * kMinuteUs);  // five silent rows are probed again, some 14 s each
  ASSERT_GT(s.world.time.NowUs(), 61 * kMinuteUs);
  RunToUs(s, 62 * kMinuteUs - 1000);
  EXPECT_EQ(s.Form().MinuteCount(), 0);
  RunToUs(s, 62 * kMinuteUs);
  EXPECT_EQ(s.Form().MinuteCount(), 1);
}

TEST(ModeList, ARefusedChangePutsBackTheModeInForceAndTheModeInForceAsksNothing) {
  struct Case {
    int stored, choose, restored;
    bool asked;
  };
  for (const Case c : {Case{1, 1, 0, true}, Case{2, 0, 1, true}, Case{0, 0, -1, true},
                       Case{7, 1, -1, true}, Case{2, 1, 1, false}}) {
    SimApp s;
    StartIn(s, c.stored, 0);
    const int writes = s.registry.WriteCount();
    const std::size_t shown = s.dialog.shown.size();
    s.view.focus = lvwMessages;
    s.dialog.Answer(QV_SYS_Message::kNo);
    s.view.modeIndex = c.choose;
    s.Form().OnModeClick();
    ASSERT_EQ(s.dialog.shown.size(), shown + c.asked) << c.stored;
    if (c.asked) {
      EXPECT_EQ(Seen(s.dialog.Last()),
                "Q 67 f7: Are you sure you to change time synchronization mode?");
    }
    EXPECT_EQ(std::tuple(s.view.modeIndex, s.registry.WriteCount(), s.view.focus),
              std::tuple(c.restored, writes, c.asked ? cmb_Mode : lvwMessages))
        << c.stored;
    EXPECT_EQ(s.view.ControlEnabled(cmdActivate), c.restored >= 0) << c.stored;
  }
}

// In PcFromDevice only one row may be active; activating the active row itself connects it again.
TEST(ModeList, PcFromDeviceTakesOneActiveRow) {
  SimApp s;
  for (int port : {1, 16}) s.world.AddDevice(port, {.letter = 'J'});
  StartIn(s, 2, 1);
  for (int refused : {16, 1}) {
    const int other = 17 - refused;
    Click(s, refused, &Form::OnActivateClick);
    EXPECT_EQ(Seen(s.dialog.Last()),
              "E 1 f1: Only one device can be used to synchronize the PC time.\r\n"
              "Please deactivate all other devices before activating this device.");
    EXPECT_EQ(s.Cell(refused, kColActive), "No");
    EXPECT_EQ(s.view.focus, lvwMessages);
    const std::size_t shown = s.dialog.shown.size();
    Click(s, other, &Form::OnActivateClick);
    EXPECT_EQ(
        std::tuple(s.dialog.shown.size(), s.Cell(other, kColStatus), s.Stored("Used COM Ports")),
        std::tuple(shown, "Connected to device.", std::to_string(1 << (other - 1))));
    Click(s, other, &Form::OnDeactivateClick);
    Click(s, refused, &Form::OnActivateClick);
  }
}

TEST(IntervalBox, IsCorrectedAndStoredOnlyWhenItsValueChanges) {
  struct Case {
    const char *typed, *shown;
    std::optional<std::string> stored;
  };
  for (const Case& c :
       {Case{"59.4", "0060", {}}, Case{"75", "0075", "75"}, Case{"", "0060", {}},
        Case{"9999", "9999", "9999"}, Case{"10000", "9999", "9999"}, Case{"0060", "0060", {}}}) {
    SimApp s;
    StartIn(s, 1, 0);
    const int writes = s.registry.WriteCount();
    s.view.intervalText = c.typed;
    s.Form().OnIntervalGotFocus();
    EXPECT_EQ(s.view.intervalSelection, std::pair(0, static_cast<int>(strlen(c.typed))));
    s.Form().OnIntervalLostFocus();
    EXPECT_EQ(std::tuple(s.view.intervalText, s.Stored("Update Interval"), s.registry.WriteCount()),
              std::tuple(c.shown, c.stored, writes + (c.stored ? 1 : 0)))
        << c.typed;
  }
}

// PcFromDevice: a cycle reads a clock that answers queries, retries one that was missing at
// start-up, and only listens to a receiver, reopening its port when another port took it.
TEST(TimeSource, TheCycleReadsRetriesOrListens) {
  struct Case {
    int port;
    char letter;
    bool silentAtStart;
    std::size_t queries;
  };
  for (const Case& c :
       {Case{1, 'J', false, 1}, Case{16, 'J', true, 1}, Case{2, sim::kNoLetter, false, 0}}) {
    SimApp s;
    auto& device = s.world.AddDevice(
        c.port, {.letter = c.letter, .clockOffsetSeconds = 3600, .silent = c.silentAtStart});
    StartIn(s, 2, 1 << (c.port - 1));
    device.Config().silent = false;
    Click(s, 7, &Form::OnDeactivateClick);  // the shared port moves to COM 7
    RunToUs(s, 61 * kMinuteUs);
    EXPECT_EQ(SentStartingWith(s, c.port, "QT").size(), c.queries) << c.port;
    RunToUs(s, 120 * kMinuteUs);
    EXPECT_EQ(s.Cell(c.port, kColStatus), "PC updated successfully.") << c.port;
    EXPECT_EQ(s.Cell(c.port, kColDetected), "Yes") << c.port;
  }
}

TEST(MainWindow, ADestroyedWindowIsNoLongerHandedReceiverLines) {
  SimApp s;
  std::int32_t ticks = 0;
  auto form = std::make_unique<QV_MainForm>(
      MainFormDeps{s.app.Config(), s.registry, s.world.clock, s.world.loop, s.app.SerialPort(),
                   s.app.Paging(), ticks, s.view, s.pointer, s.app.Messages(), s.app.Loading()});
  ASSERT_TRUE(s.app.Paging().OnReceiverTimeLine);
  form.reset();
  EXPECT_FALSE(s.app.Paging().OnReceiverTimeLine);
}

TEST(MainWindow, ASecondInstanceSaysSoAndTouchesNothing) {
  SimApp s;
  s.instance.anotherRunning = true;
  EXPECT_FALSE(s.Start());
  EXPECT_EQ(Seen(s.dialog.Last()), "C 1 f0: Horalign is already active.");
  EXPECT_EQ(std::tuple(s.app.MainForm(), s.registry.WriteCount(), s.world.serial.OpenAttempts(1)),
            std::tuple(nullptr, 0, 0));
}

}  // namespace
}  // namespace horalign::test
