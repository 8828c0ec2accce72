#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <tuple>
#include <utility>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;
using enum Control;
using Form = QV_MainForm;

constexpr const char* kLoading = "Loading COM ports and detecting devices. Please wait...";

std::vector<int> Widths(const SimApp& s) {
  std::vector<int> widths;
  for (const auto& column : s.view.columns) widths.push_back(column.widthTwips);
  return widths;
}

// What the user sees while the window is disabled for an action: row `row`'s status texts in
// turn (and the one it ends with, all joined by " > "), and at the first such yield whether
// the user counted as Busy and the control group was Locked; "Scan" when the loading message
// showed. `act` runs at that first yield.
struct Locked {
  std::string statuses, flags;
};
Locked WhileLocked(
    SimApp& s, int row, const std::function<void()>& run,
    const std::function<void()>& act = [] {}) {
  Locked seen;
  std::string last;
  bool loading = false;
  auto note = [&] {
    if (last != s.Cell(row, kColStatus))
      last = s.Cell(row, kColStatus), seen.statuses += " > " + last;
  };
  s.world.loop.SetYieldHook([&](std::int64_t) {
    if (s.view.enabled) return;
    if (seen.flags.empty()) {
      seen.flags = std::string(s.Form().UserBusy() ? "Busy " : "") +
                   (s.view.ControlEnabled(cmdClose) ? "" : "Locked ");
      act();
    }
    loading |= s.loading.visible;
    note();
  });
  struct Unhook {
    sim::VirtualLoop& loop;
    ~Unhook() { loop.SetYieldHook(nullptr); }
  } unhook{s.world.loop};
  run();
  note();
  seen.statuses.erase(0, 3);
  seen.flags += loading ? "Scan" : "";
  return seen;
}

TEST(TextFormat, ClockTextsUseTwelveHoursAndTheLocaleAndStampsTwoYearDigits) {
  const LocaleFormat locale{'-', '.', "am", "pm"};
  // clang-format off
  for (const auto& [t, text] : std::vector<std::pair<CivilTime, std::string>>{
           {{2026, 12, 5, 0, 5, 9}, "12.05.09 am 12-05-2026 12-05-26, 12.05.09 am"},
           {{2009, 1, 2, 12, 0, 0}, "12.00.00 pm 01-02-2009 01-02-09, 12.00.00 pm"},
           {{2031, 10, 31, 11, 59, 59}, "11.59.59 am 10-31-2031 10-31-31, 11.59.59 am"},
           {{2100, 7, 30, 23, 40, 1}, "11.40.01 pm 07-30-2100 07-30-00, 11.40.01 pm"},
           {{987, 6, 7, 13, 9, 10}, "01.09.10 pm 06-07-0987 06-07-87, 01.09.10 pm"}}) {
    // clang-format on
    EXPECT_EQ(FormatClockTime(t, locale) + " " + FormatClockDate(t, locale) + " " +
                  FormatStatusTime(t, locale),
              text);
  }
  EXPECT_EQ(ZeroPad(-1, 3), "-001");
  for (int key : {48, 57, 8, 19}) EXPECT_EQ(NumericKeyFilter(key), key) << key;
  for (int key : {47, 58, 20, 97}) EXPECT_EQ(NumericKeyFilter(key), 0) << key;
}

// A font as narrow as the design's keeps every designed place; a wider one pushes controls
// along their row only as far as their texts need, and the window widens for the longest row.
TEST(WindowLayout, TextsFitTheirControlsAndTheWindowWidensOnlyAsFarAsTheyNeed) {
  struct EvenFont : TextMetrics {
    int perChar;
    explicit EvenFont(int twips) : perChar(twips) {}
    int TextTwips(const std::string& text, bool bold) const override {
      return static_cast<int>(text.size()) * (perChar + (bold ? 10 : 0));
    }
    int ChromeTwips(ControlKind kind) const override {
      return kind == ControlKind::kDropDown ? 300 : kind == ControlKind::kButton ? 200 : 100;
    }
  };
  const MainLayout designed = FitMainWindow(EvenFont(55), {});
  for (const ControlDesc& desc : MainWindowControls()) {
    EXPECT_EQ(designed.Rect(desc.control), desc.rect) << desc.name;
  }
  EXPECT_EQ(designed.clientWidthTwips, 9405);

  const MainLayout wide = FitMainWindow(EvenFont(100), {});
  const std::pair<Control, TwipsRect> moved[] = {
      {lbl_Mode, {200, 152, 2310, 210}},         {cmb_Mode, {2570, 100, 5500, 315}},
      {lblInterval, {8370, 150, 2820, 210}},     {txtInterval, {10190, 107, 500, 300}},
      {pbxDetails, {0, 500, 11290, 4200}},       {lvwMessages, {0, 0, 11220, 3700}},
      {cmdUpdate, {2900, 3750, 1200, 350}},      {cmdRefresh, {10040, 3750, 1100, 350}},
      {cmdHide, {1500, 4800, 1100, 350}},        {lblCurrentDate, {6630, 4870, 2200, 210}},
      {txtCurrentDate, {8890, 4825, 1100, 300}}, {txtCurrentTime, {9990, 4825, 1200, 300}}};
  for (const auto& [control, rect] : moved) {
    EXPECT_EQ(wide.Rect(control), rect) << DescOf(control).name;
  }
  EXPECT_EQ(wide.clientWidthTwips, 11295);
  EXPECT_EQ(wide.gapEndTwips, 2380);  // "Min." just right of the interval box
}

// The window as designed: each control's name, caption, tool tip, place ("f": inside the frame),
// tab index, boldness and limit, as both faces draw them and accessibility tools read them.
TEST(WindowLayout, EveryControlIsTheOneTheWindowIsDesignedWith) {
  const char* const designed[] = {
      "lbl_Mode|Synchronization &Mode:||200,152,2000,210|-|0|bold|0",
      "cmb_Mode||Synchronization mode |2150,100,4500,315|-|1||0",
      "txtInterval|||8350,107,500,300|-|3||4",
      "lblInterval|Update &Interval:          Min.||6950,150,2600,210|-|2|bold|0",
      "pbxDetails||Press F1 for help |0,500,9400,4200|-|10||0",
      "lvwMessages|||0,0,9330,3700|f|4||0",
      "cmdActivate|Ac&tivate|Activate selected COM port |200,3750,1100,350|f|5||0",
      "cmdDeactivate|&Deactivate|Deactivate selected COM port |1500,3750,1100,350|f|6||0",
      "cmdUpdate|&Update Now|Update time now |2800,3750,1100,350|f|15||0",
      "cmdRefresh|&Refresh|Reconnect to all devices and refresh list |8150,3750,1100,350|f|16||0",
      "cmdClose|&Close|Close & exit |200,4800,1100,350|-|7||0",
      "cmdHide|&Hide|Hide (send to system tray) |1500,4800,1100,350|-|8||0",
      "lblCurrentDate|Current Date && Time:||5400,4870,1800,210|-|14|bold|0",
      "txtCurrentDate|||7200,4825,1050,300|-|13||0",
      "txtCurrentTime|||8250,4825,1050,300|-|12||0"};
  std::vector<std::string> seen;
  for (const ControlDesc& c : MainWindowControls()) {
    const auto& r = c.rect;
    seen.push_back(std::string(c.name) + "|" + c.caption + "|" + c.toolTip + "|" +
                   std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                   std::to_string(r.width) + "," + std::to_string(r.height) + "|" +
                   (c.inFrame ? "f" : "-") + "|" + std::to_string(c.tabIndex) + "|" +
                   (c.bold ? "bold" : "") + "|" + std::to_string(c.maxLength));
  }
  EXPECT_EQ(seen, std::vector<std::string>(std::begin(designed), std::end(designed)));
  for (const ControlDesc& c : MainWindowControls()) {  // F1 opens the window's topic everywhere
    EXPECT_EQ(HelpTopicOf(c.control), kHelpTopicMain) << c.name;
  }
  // An access key is the character after a single "&"; the view ends before what follows it.
  const std::string_view cut = std::string_view("Mode&x").substr(0, 5);
  for (const auto& [caption, key] : {std::pair<std::string_view, char>{"Ac&tivate", 't'},
                                     {"Current Date && Time:", 0},
                                     {"&Close", 'c'},
                                     {cut, 0}}) {
    EXPECT_EQ(AccessKeyOf(caption), key) << caption;
  }
}

// Ports 1 and 16 were active when the program last ran, without a mode; another program has
// COM 15. The list is tall enough for every row.
TEST(MainWindow, WithoutAModeTheScanRunsThenAModeIsAskedForAndNoDeviceIsServed) {
  SimApp s;
  for (int port : {1, 16}) s.world.AddDevice(port, {.letter = 'W'});
  s.world.serial.HoldPort(15, true);
  s.Set("Used COM Ports", "32769");
  std::tie(s.view.listWidthTwips, s.view.listHeightTwips) = std::pair(9332, 4335);
  std::int64_t helpShownUs = -1;
  // The mode notice stays up for an hour, across a cycle that serves nothing without a mode
  // yet enables the whole control group; closing the notice greys the group again.
  std::pair<std::size_t, bool> cycle;
  s.dialog.Respond([&](auto&, MessageController& m) {
    const auto sent = [&s] { return SentTo(s, 1).size() + SentTo(s, 16).size(); };
    const std::size_t before = sent();
    RunToUs(s, 61 * kMinuteUs);
    cycle = {sent() - before, s.view.ControlEnabled(cmdHide)};
    m.OnButton(1);
  });
  s.dialog.Respond([&](auto&, auto&) { helpShownUs = s.world.time.NowUs(); });
  std::vector<int> widthsWhileScanning;
  bool visibleWhileScanning = false;
  const Locked load = WhileLocked(
      s, 1, [&] { ASSERT_TRUE(s.Start()); },
      [&] {
        widthsWhileScanning = Widths(s);
        visibleWhileScanning = s.view.visible;
      });
  EXPECT_EQ(std::tuple(load.flags, visibleWhileScanning), std::tuple("Locked Scan", true));
  const std::vector<int> widths{879, 879, 3516, 2198, 0, 1758, 0, 0, 0, 0};
  EXPECT_EQ(std::tuple(widthsWhileScanning, Widths(s)), std::tuple(widths, widths));
  EXPECT_EQ(
      std::tuple(s.loading.text, s.view.caption, s.view.left, s.view.top, s.view.intervalText),
      std::tuple(kLoading, "Horalign (Version 1.41)", 400, 200, "0060"));
  EXPECT_EQ(s.view.trayIcons, std::vector<std::string>{"Horalign (Version 1.41)"});
  EXPECT_EQ(s.view.modeEntries, (std::vector<std::pair<std::string, int>>{
                                    {"Synchronize Device Time to PC Time", 1},
                                    {"Synchronize PC Time to Device Time (Single COM Port)", 2}}));
  const PortListModel& ports = s.Form().Ports();  // no such column or row: empty, black
  EXPECT_EQ(std::tuple(ports.Cell(1, kPortColumns), ports.Colour(17), ports.Cell(15, kColActive)),
            std::tuple("", Rgb{0, 0, 0}, "N/A"));
  EXPECT_EQ(std::tuple(s.Cell(2, kColStatusTime), s.view.colours[0]),
            std::tuple("12/05/26, 02:05:09 PM", kGreen));
  ASSERT_EQ(s.dialog.shown.size(), 2u);
  EXPECT_EQ(Seen(s.dialog.shown[0].layout),
            "I 1 f1 e1: To activate, please select Synchronization Mode.");
  EXPECT_EQ(Seen(s.dialog.shown[1].layout), "I 1 f1 e1: Help is available by pressing F1.");
  EXPECT_EQ(s.world.time.NowUs() - helpShownUs, 5'000'000) << "the help notice closes itself";
  EXPECT_EQ(s.view.modeIndex, -1);
  EXPECT_EQ(Enabled(s, {cmdClose, lbl_Mode, cmb_Mode, lblInterval, cmdHide, cmdActivate}),
            "+++---");
  EXPECT_EQ(s.view.focus, cmb_Mode);
  EXPECT_FALSE(s.pointer.busy || s.loading.visible);
  // The delay tick counted only while something waited (exchanges, a notice's time-out),
  // not through the idle hour.
  EXPECT_EQ(std::tuple(cycle, s.Form().MinuteCount(), s.app.DelayTicks()),
            std::tuple(std::pair(std::size_t{0}, true), 1, 160));
  EXPECT_EQ(s.view.currentTime + " " + s.view.currentDate, "03:06:14 PM 12/05/2026");
}

// A stored edge off the screen becomes 100. The 16 rows of 255 twips and the header need 17
// rows' height; a shorter list keeps 250 twips of its width for a scroll bar.
TEST(MainWindow, IsPlacedOnTheScreenAndSharesTheListWidthByWeight) {
  const std::vector<int> room{855, 855, 3420, 2138, 0, 1710, 0, 0, 0, 0};
  const std::vector<int> noRoom{879, 879, 3516, 2197, 0, 1758, 0, 0, 0, 0};
  // clang-format off
  for (const auto& [x, y, left, top, height, rowHeight, widths] :
       std::vector<std::tuple<const char*, const char*, int, int, int, int, std::vector<int>>>{
           {"-1", "-1", 100, 100, 3700, 255, room},     {"0", "0", 0, 0, 4334, 255, room},
           {"28800", "16200", 28800, 16200, 4335, 255, noRoom},
           {"28801", "16201", 100, 100, 3700, 0, noRoom}}) {
    // clang-format on
    SimApp s;
    s.Set("LastX", x);
    s.Set("LastY", y);
    std::tie(s.view.listHeightTwips, s.view.rowHeightTwips) = std::pair(height, rowHeight);
    s.Start();
    EXPECT_EQ(std::tuple(s.view.left, s.view.top, Widths(s)), std::tuple(left, top, widths)) << x;
    std::string titles;
    for (const auto& column : s.view.columns) titles += column.title + "|";
    EXPECT_EQ(titles, "COM Port|Active|Status|Status Date & Time|Settings|Device|||S/N|Detected|");
  }
}

// Each action shows its progress in its row, counts the user busy from its first yield (so a
// cycle falling due meanwhile is skipped) and makes the close box wait; it
// ends with the focus back on the list and the action buttons in line with the row. Without a
// selected row, the buttons do nothing.
TEST(MainWindow, EachActionShowsItsProgressAndCountsTheUserBusy) {
  // clang-format off
  for (const auto& [mode, row, click, flags, active, used, statuses] :
       std::vector<std::tuple<int, int, void (Form::*)(), const char*, const char*, const char*, const char*>>{
    {1, 3, &Form::OnActivateClick, "Busy Locked ", "Yes", "5",
     "Disconnected from device. > Connecting to device... > Connected to device."},
    {1, 1, &Form::OnDeactivateClick, "Busy ", "No", "0",
     "Connected to device. > Disconnected from device."},
    {1, 1, &Form::OnUpdateClick, "Busy Locked ", "Yes", "1",
     "Connected to device. > Writing date & time to device... > Device updated successfully."},
    {2, 1, &Form::OnUpdateClick, "Busy Locked ", "Yes", "1",
     "Connected to device. > Reading date & time from device... > PC updated successfully."},
    {1, 1, &Form::OnRefreshClick, "Busy Locked Scan", "Yes", "1",
     "Connected to device. > Connecting to device... > Connected to device."},
    {1, 1, &Form::OnModeClick, "Locked Scan", "No", "0",
     "Connected to device. > Disconnected from device."}}) {
    // clang-format on
    SCOPED_TRACE(statuses);
    SimApp s;
    s.world.AddDevice(3, {.letter = 'W'});
    StartWith(s, mode, 1, {.letter = mode == 1 ? 'W' : 'J'});
    const bool modeChange = click == &Form::OnModeClick;
    if (modeChange) s.view.modeIndex = 1, s.dialog.Answer(6);
    s.view.focus = cmdClose;  // the focus is on the button pressed
    bool stays = false;
    auto duringAction = [&] { stays = s.Form().OnQueryClose(CloseReason::kUser); };
    // Copies: clang 14 cannot capture a structured binding.
    const auto action = [&s, r = row, c = click] { Click(s, r, c); };
    const Locked seen = WhileLocked(s, row, action, duringAction);
    EXPECT_EQ(std::tuple(seen.statuses, seen.flags, stays), std::tuple(statuses, flags, true));
    EXPECT_EQ(std::tuple(s.Cell(row, kColActive), s.Stored("Used COM Ports"), s.view.rows.size(),
                         s.Stored("Connection Mode"), s.loading.text),
              std::tuple(active, used, 16u, std::to_string(modeChange ? 2 : mode), kLoading));
    EXPECT_FALSE(s.Form().UserBusy() || s.pointer.busy || s.loading.visible);
    EXPECT_EQ(std::tuple(s.view.enabled, s.view.focus,
                         Enabled(s, {cmdRefresh, cmdActivate, cmdDeactivate})),
              std::tuple(true, lvwMessages, *active == 'N' ? "++-" : "+-+"));
    const int writes = s.registry.WriteCount();
    s.Select(0);
    for (auto act : {&Form::OnActivateClick, &Form::OnDeactivateClick, &Form::OnUpdateClick}) {
      (s.Form().*act)();
    }
    EXPECT_EQ(std::tuple(s.registry.WriteCount(), s.Cell(row, kColActive)),
              std::tuple(writes, active));
  }
}

// The program ends through Close (asking in a mode, with No as the default; a question that
// cannot be asked ends it too) or the close box without a mode, saving the window's place and
// stopping every timer. Hide and the close box with a mode ask before hiding, and minimize
// without a notification area.
TEST(MainWindow, ClosingAsksByModeAndEndsHidesOrMinimizes) {
  const std::string quit = "Q 67 f7 e7: This will terminate time synchronization of ";
  const std::string quit1 = quit + "all connected devices. Are you sure you want to quit?";
  const std::string quit2 = quit + "this PC. Are you sure you want to quit?";
  const std::string hide =
      "Q 67 f6 e7: Horalign will stay active and will be accessible from the system tray.\r\n"
      "To terminate Horalign, please select Close. Continue?";
  // How: Close button, close pressed while the hide question is up, Hide button, close boX.
  // clang-format off
  for (const auto& [how, mode, tray, answer, question, outcome] :
       std::vector<std::tuple<char, int, bool, int, std::string, std::string>>{
           {'C', 0, true, 0, "", "ended"},       {'C', 3, true, 0, "", "ended"},
           {'C', 1, true, 7, quit1, "shown"},    {'C', 2, true, 7, quit2, "shown"},
           {'c', 2, true, 0, hide, "ended"},     {'H', 1, true, 6, hide, "hidden"},
           {'H', 1, true, 7, hide, "shown"},     {'H', 1, false, 6, "", "minimized"},
           {'X', 1, true, 6, hide, "hidden"},    {'X', 2, true, 7, hide, "shown"},
           {'X', 1, false, 6, "", "minimized"},  {'X', 0, true, 6, "", "ended"}}) {
    // clang-format on
    SCOPED_TRACE(testing::Message() << how << mode << tray << answer);
    SimApp s;
    s.view.trayAvailable = tray;
    StartWith(s, mode, 1, {.letter = 'W'});
    const std::size_t shown = s.dialog.shown.size();
    std::tie(s.view.intervalText, s.view.left, s.view.top) = std::tuple("75", 1234, 567);
    if (answer) s.dialog.Answer(answer);
    if (how == 'C') s.Form().OnCloseClick();
    if (how == 'H') s.Form().OnHideClick();
    if (how == 'c') {
      s.dialog.Respond(
          [&](auto&, MessageController& m) { s.Form().OnCloseClick(), m.OnButton(7); });
      s.Form().OnHideClick();
    }
    const bool stays = how != 'X' || s.Form().OnQueryClose(CloseReason::kUser);
    const bool ended = outcome == "ended";
    const auto& v = s.view;
    const char* now = v.quitCount   ? "ended"
                      : v.minimized ? "minimized"
                      : v.visible   ? "shown"
                                    : "hidden";
    EXPECT_EQ(std::tuple(now, v.quitCount, s.Form().Terminated(), stays),
              std::tuple(outcome, int{ended}, ended, !ended || how != 'X'));
    EXPECT_EQ(s.dialog.shown.size() > shown ? Seen(s.dialog.Last()) : "", question);
    EXPECT_EQ(s.dialog.shown.size(), shown + !question.empty());
    EXPECT_EQ(s.Stored("Update Interval"),
              tolower(how) == 'c' ? std::optional<std::string>("75") : std::nullopt);
    if (!ended) continue;
    EXPECT_EQ(std::tuple(s.Stored("LastX"), s.Stored("LastY"), s.world.serial.IsOpen(1),
                         s.world.loop.NextTimerDueUs()),
              std::tuple("1234", "567", false, -1));
  }
}

// The tray menu's Show and Hide and a double click show or hide the window; the list gets the
// focus when the window comes back. "History..." opens the history window.
TEST(MainWindow, TheTrayBringsTheWindowBack) {
  SimApp s;
  StartIn(s, 1, 0);
  using enum TrayMenuItem;
  const TrayEvent right = TrayEvent::kRightButtonDown, twice = TrayEvent::kDoubleClick;
  for (const auto& [event, item, visible] : {std::tuple(right, kHide, false),
                                             {right, kShow, true},
                                             {twice, kSeparator, true},
                                             {right, kHistory, true}}) {
    s.view.focus = cmdClose;
    s.Form().OnTrayNotify(event);
    s.Form().OnPopupOptionsClick(item);  // the separator does nothing
    EXPECT_EQ(std::tuple(s.view.visible, s.view.focus), std::tuple(visible, lvwMessages));
    EXPECT_EQ(s.view.historyOpened, item == kHistory ? 1 : 0);
  }
}

// The first cycle comes on the tick that reaches the stored interval (30, below the minimum:
// that cycle corrects it to 60); later ones come whole intervals apart; Update Now leaves the
// count alone, and a cycle due while the user is busy is skipped for a whole interval.
TEST(MainWindow, CyclesComeWholeIntervalsApartAndSkipABusyUser) {
  SimApp s;
  s.Set("Update Interval", "30");
  StartWith(s, 1, 16, {.letter = 'W'});
  EXPECT_EQ(s.view.intervalText, "0030");
  auto writes = [&] { return SentStartingWith(s, 16, "T").size(); };
  RunToUs(s, 30 * kMinuteUs - 1000);
  EXPECT_EQ(std::tuple(writes(), s.Form().MinuteCount()), std::tuple(0u, 29));
  const Locked cycle = WhileLocked(s, 16, [&] { RunToUs(s, 30 * kMinuteUs + 1'100'000); });
  EXPECT_EQ(std::tuple(cycle.flags, s.Form().UserBusy(), writes(), s.Stored("Update Interval"),
                       s.view.intervalText),
            std::tuple("Locked ", false, 1u, "60", "0060"));
  EXPECT_FALSE(s.view.ControlEnabled(cmdDeactivate)) << "in line with row 01 again";
  RunToUs(s, 40 * kMinuteUs + 30'000'000);
  Click(s, 16, &Form::OnUpdateClick);
  EXPECT_FALSE(s.view.ControlEnabled(cmdActivate)) << "in line with row 16";
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

// However long a cycle runs, the minutes keep their phase: the tick that fell due while it ran
// is dropped, and the next whole minute counts even when the cycle ended just before it, or
// when the cycle's own tick came 0.6 s late and the next one so much early.
TEST(MainWindow, ACycleDropsOnlyTheTicksThatFellDueWhileItRan) {
  for (const auto& [lateUs, cycleUs, ticks] :
       {std::tuple(0LL, 59'990'000LL, 2), {0LL, 70'000'000LL, 1}, {600'000LL, 1'000'000LL, 2}}) {
    SimApp s;
    s.Set("Update Interval", "60");
    StartIn(s, 1, 0);
    s.Form().SetMinuteCount(59);
    s.view.onWindowEnabled = [&, cycleUs = cycleUs](bool on) {
      if (!on) s.world.clock.SleepMicros(cycleUs);
    };
    RunToUs(s, kMinuteUs - 3000);
    s.world.clock.SleepMicros(lateUs);  // no timer fires meanwhile
    RunToUs(s, kMinuteUs + lateUs + 1000);
    s.view.onWindowEnabled = nullptr;
    RunToUs(s, 3 * kMinuteUs + 1000);
    EXPECT_EQ(s.Form().MinuteCount(), ticks) << cycleUs;
  }
}

// A refused change puts back the mode in force and leaves the action buttons as the load left
// them: all enabled with a mode, all disabled without one.
TEST(ModeList, ARefusedChangePutsBackTheModeInForceAndTheModeInForceAsksNothing) {
  // clang-format off
  for (const auto& [stored, choose, restored, asked] :
       {std::tuple(1, 1, 0, true), {2, 0, 1, true}, {0, 0, -1, true}, {7, 1, -1, true}, {2, 1, 1, false}}) {
    // clang-format on
    SimApp s;
    StartIn(s, stored, 0);
    const int writes = s.registry.WriteCount();
    const std::size_t shown = s.dialog.shown.size();
    s.view.focus = lvwMessages;
    s.dialog.Answer(QV_SYS_Message::kNo);
    s.view.modeIndex = choose;
    s.Form().OnModeClick();
    EXPECT_EQ(s.dialog.shown.size() > shown ? Seen(s.dialog.Last()) : "",
              asked ? "Q 67 f7 e7: Are you sure you to change time synchronization mode?" : "");
    EXPECT_EQ(std::tuple(s.view.modeIndex, s.registry.WriteCount(), s.view.focus,
                         s.view.ControlEnabled(cmdDeactivate)),
              std::tuple(restored, writes, asked ? cmb_Mode : lvwMessages, restored >= 0))
        << stored;
  }
}

// In PcFromDevice only one row may be active; activating the active row connects it again.
TEST(ModeList, PcFromDeviceTakesOneActiveRow) {
  SimApp s;
  for (int port : {1, 16}) s.world.AddDevice(port, {.letter = 'J'});
  StartIn(s, 2, 1);
  for (int refused : {16, 1}) {
    const int other = 17 - refused;
    Click(s, refused, &Form::OnActivateClick);
    EXPECT_EQ(Seen(s.dialog.Last()),
              "E 1 f1 e1: Only one device can be used to synchronize the PC time.\r\n"
              "Please deactivate all other devices before activating this device.");
    EXPECT_EQ(std::tuple(s.Cell(refused, kColActive), s.view.focus), std::tuple("No", lvwMessages));
    const std::size_t shown = s.dialog.shown.size();
    Click(s, other, &Form::OnActivateClick);
    EXPECT_EQ(std::tuple(s.dialog.shown.size(), s.Cell(other, kColStatus),
                         s.Stored("Used COM Ports"), s.view.ControlEnabled(cmdActivate)),
              std::tuple(shown, "Connected to device.", std::to_string(1 << (other - 1)), false));
    Click(s, other, &Form::OnDeactivateClick);
    Click(s, refused, &Form::OnActivateClick);
  }
}

TEST(IntervalBox, IsCorrectedAndStoredOnlyWhenItsValueChanges) {
  // clang-format off
  for (const auto& [typed, shown, stored] :
       std::vector<std::tuple<std::string, std::string, std::optional<std::string>>>{
           {"59.4", "0060", {}}, {"75", "0075", "75"}, {"", "0060", {}},
           {"9999", "9999", "9999"}, {"10000", "9999", "9999"}, {"0060", "0060", {}},
           {"\t75", "0075", "75"}}) {
    // clang-format on
    SimApp s;
    StartIn(s, 1, 0);
    const int writes = s.registry.WriteCount();
    s.view.intervalText = typed;
    s.Form().OnIntervalGotFocus();
    EXPECT_EQ(s.view.intervalSelection, std::pair(0, static_cast<int>(typed.size())));
    s.Form().OnIntervalLostFocus();
    EXPECT_EQ(std::tuple(s.view.intervalText, s.Stored("Update Interval"), s.registry.WriteCount()),
              std::tuple(shown, stored, writes + (stored ? 1 : 0)))
        << typed;
  }
}

// PcFromDevice: a cycle reads a clock that answers queries, retries one that was missing at
// start-up, and only listens to a receiver, taking back the shared port from a port connected
// after it.
TEST(TimeSource, TheCycleReadsRetriesOrListens) {
  // clang-format off
  for (const auto& [port, letter, silentAtStart, used, queries] :
       {std::tuple(1, 'J', false, 1, 1u), {16, 'J', true, 32768, 1u}, {2, sim::kNoLetter, false, 2 + 64, 0u}}) {
    // clang-format on
    SimApp s;
    auto& device = s.world.AddDevice(
        port, {.letter = letter, .clockOffsetSeconds = 3600, .silent = silentAtStart});
    StartIn(s, 2, used);
    device.Config().silent = false;
    RunToUs(s, 61 * kMinuteUs);
    EXPECT_EQ(SentStartingWith(s, port, "QT").size(), queries) << port;
    RunToUs(s, 120 * kMinuteUs);
    EXPECT_EQ(std::tuple(s.Cell(port, kColStatus), s.Cell(port, kColDetected)),
              std::tuple("PC updated successfully.", "Yes"))
        << port;
  }
}

TEST(MainWindow, ASecondInstanceSaysSoAndTouchesNothing) {
  SimApp s;
  s.instance.anotherRunning = true;
  EXPECT_FALSE(s.Start());
  EXPECT_EQ(Seen(s.dialog.Last()), "C 1 f0 e1: Horalign is already active.");
  EXPECT_EQ(std::tuple(s.app.MainForm(), s.registry.WriteCount(), s.world.serial.OpenAttempts(1)),
            std::tuple(nullptr, 0, 0));
}

}  // namespace
}  // namespace horalign::test
