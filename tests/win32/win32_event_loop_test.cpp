// The message loop's timer rules, the message dialog that runs its own loop on it, and the
// main window as built from the description of its controls.
#include "platform/win32/win32_event_loop.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/ui/message.h"
#include "winui/main_window.h"
#include "winui/message_dialog.h"
#include "winui/pointer.h"

namespace horalign {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Yields for `span` or until `done`; these are short real-time tests of the adapter.
bool YieldFor(
    Win32EventLoop& loop, std::chrono::milliseconds span,
    const std::function<bool()>& done = [] { return false; }) {
  const auto end = SteadyClock::now() + span;
  // A helper timer wakes the loop so Yield never waits past the end.
  auto wake = loop.CreateTimer(10, true, [] {});
  while (!done() && SteadyClock::now() < end) loop.Yield();
  return done();
}

TEST(Win32EventLoop, AHandlerIsNeverReEnteredByItsOwnTimerAndMissedTicksCoalesce) {
  Win32EventLoop loop;
  int depth = 0, deepest = 0, ticks = 0;
  auto timer = loop.CreateTimer(10, true, [&] {
    ++ticks;
    deepest = std::max(deepest, ++depth);
    // A waiting routine inside a handler yields; its own timer must not run again here.
    if (ticks == 1) YieldFor(loop, 120ms);
    --depth;
  });
  EXPECT_TRUE(YieldFor(loop, 3s, [&] { return ticks >= 3; }));
  EXPECT_EQ(deepest, 1);
  // A thread that fell behind by 20 periods gets one tick for them all (and perhaps one more
  // while it catches up on a loaded machine).
  ::Sleep(200);
  const int before = ticks;
  loop.ProcessPending();
  EXPECT_GE(ticks - before, 1);
  EXPECT_LE(ticks - before, 3);
}

TEST(Win32EventLoop, OnlyArmedTimersFireArmingStartsThePeriodAndPendingWorkNeverWaits) {
  Win32EventLoop loop;
  int disabledTicks = 0, destroyedTicks = 0, zeroTicks = 0, selfTicks = 0;
  auto disabled = loop.CreateTimer(10, true, [&] { ++disabledTicks; });
  disabled->SetEnabled(false);
  loop.CreateTimer(10, true, [&] { ++destroyedTicks; });  // destroyed at once
  auto zero = loop.CreateTimer(0, true, [&] { ++zeroTicks; });
  std::unique_ptr<Timer> self = loop.CreateTimer(10, true, [&] {
    ++selfTicks;
    self.reset();
  });
  std::vector<SteadyClock::time_point> ticks;
  auto timer = loop.CreateTimer(200, true, [&] { ticks.push_back(SteadyClock::now()); });
  YieldFor(loop, 120ms);
  const auto restarted = SteadyClock::now();
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  ASSERT_TRUE(YieldFor(loop, 3s, [&] { return !ticks.empty(); }));
  EXPECT_GE(ticks.front() - restarted, 150ms);
  EXPECT_EQ(std::tie(disabledTicks, destroyedTicks, zeroTicks, selfTicks),
            std::make_tuple(0, 0, 0, 1));

  // With only the slow timer left, a wait for the next message would block.
  const auto start = SteadyClock::now();
  loop.ProcessPending();
  loop.ProcessPending();
  EXPECT_LT(SteadyClock::now() - start, 100ms);
  int exitCode = -1;
  loop.SetQuitHandler([&](int code) { exitCode = code; });
  ::PostQuitMessage(3);
  loop.Yield();
  EXPECT_EQ(exitCode, 3);
  EXPECT_TRUE(loop.QuitReceived());
}

}  // namespace

namespace winui {
namespace {

// What the user does once the dialog is on screen.
using Action = std::function<void(HWND dialog)>;

// Posts a key or a character to the dialog's focused control.
Action Send(UINT msg, WPARAM w) {
  return [msg, w](HWND d) {
    HWND focus = ::GetFocus();
    ::PostMessageA(IsWithin(d, focus) ? focus : d, msg, w, 0);
  };
}

// The dialog runs its own loop: keys answer as the buttons say, the owner stays blocked
// meanwhile, and other timers keep firing until the time-out ends an unanswered dialog. Which
// key answers what in each button set is tests/core/ui/message_test.cpp's; these rows are the
// window's ways in: a letter, Esc, Enter on the focused button, a click, the close box.
// It is a real window: scripts/test-windows.sh gives Wine a display.
TEST(Win32MessageDialog, KeysClicksAndTheTimeOutAnswerWhileTheOwnerIsBlocked) {
  Win32EventLoop loop;
  Win32Pointer pointer;
  Win32MessageDialog view{loop, pointer};
  QV_SYS_Message messages{view, loop, pointer, "Horalign"};
  std::vector<bool> blocked;
  view.SetModalHook([&](bool on) { blocked.push_back(on); });
  // The owner's keyboard rules, older than the dialog's: the newest filter sees a key first.
  loop.AddFilter([](MSG& msg) { return msg.message == WM_KEYDOWN || msg.message == WM_CHAR; });
  int ticks = 0;
  auto other = loop.CreateTimer(10, true, [&ticks] { ++ticks; });
  const Action clickCancel = [](HWND d) {
    ::PostMessageA(::FindWindowExA(d, nullptr, "Button", "&Cancel"), BM_CLICK, 0, 0);
  };
  const Action oThenClose = [](HWND d) {
    Send(WM_CHAR, 'o')(d);
    ::PostMessageA(d, WM_CLOSE, 0, 0);
  };
  const Action esc = Send(WM_KEYDOWN, VK_ESCAPE), enter = Send(WM_KEYDOWN, VK_RETURN);
  using M = QV_SYS_Message;
  const struct {
    const char* what;
    int buttonSet, focus;
    Action act;
    int expected;
    const char* title = "";
  } rows[] = {
      {"Esc answers No to a yes/no question", 4, 7, esc, M::kNo},
      {"Y answers Yes", 4, 7, Send(WM_CHAR, 'y'), M::kYes},
      // Right after Yes: "O" names no button of a yes/no question, and the close box leaves
      // the answer as it was.
      {"O, then the close box", 4, 7, oThenClose, M::kYes},
      {"Enter presses the focused No", 4, 7, enter, M::kNo},
      {"Enter presses the focused Yes", 4, 6, enter, M::kYes},
      {"a click on Cancel", 1, 1, clickCancel, M::kCancel},
      {"nothing: the time-out", 0, 1, nullptr, M::kTimedOut, "Another title"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string caption;
    blocked.clear();
    ticks = 0;
    view.SetShownHook([&](HWND dialog) {
      caption = WindowText(dialog);
      if (row.act) row.act(dialog);
    });
    // Every dialog has a time-out, so that one ignoring the user ends all the same.
    EXPECT_EQ(
        messages.ShowMessage("Question?", static_cast<MessageButtons>(row.buttonSet), row.focus,
                             MessageIconCode::kQuestion, row.title, "", 0, true, 1500),
        row.expected);
    EXPECT_EQ(caption, *row.title ? row.title : "Horalign - System Message");
    EXPECT_EQ(view.Handle(), nullptr);  // the window is gone once the call returns
    EXPECT_EQ(blocked, (std::vector<bool>{true, false}));
  }
  EXPECT_GE(ticks, 30);  // during the last dialog's 1.5 seconds
}

// The window is built from the one description: every tool tip it names is on its control,
// and each label's text, the longest mode and the clock's time end inside their places at
// the fonts the controls really have; and it takes input only when nothing holds it.
TEST(Win32MainWindow, ShowsEveryToolTipAndEveryTextWhole) {
  Win32EventLoop loop;
  Win32Pointer pointer;
  Win32MainWindow window{loop, pointer};
  auto extent = [](HWND control, const std::string& text) {
    HDC dc = ::GetDC(control);
    const HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return static_cast<int>(size.cx);
  };
  auto place = [&window](Control c) {
    RECT r{};
    ::GetWindowRect(window.ControlHandle(c), &r);
    return r;
  };
  for (const ControlDesc& desc : MainWindowControls()) {
    HWND control = window.ControlHandle(desc.control);
    char text[128] = {};
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.hwnd = window.Handle();
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = text;
    ::SendMessageA(window.ToolTips(), TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
    EXPECT_STREQ(text, desc.toolTip) << desc.name;
    if (desc.kind == ControlKind::kLabel) {
      EXPECT_LT(place(desc.control).left + extent(control, SplitAtGap(desc.caption).before),
                place(desc.names).left)
          << desc.name;
    }
  }
  EXPECT_EQ(::SendMessageA(window.ToolTips(), TTM_GETTOOLCOUNT, 0, 0), 8);
  const RECT m = place(Control::cmb_Mode);
  EXPECT_LE(extent(window.ControlHandle(Control::cmb_Mode), kModeTexts[1]),
            m.right - m.left - ::GetSystemMetrics(SM_CXVSCROLL));
  HWND time = window.ControlHandle(Control::txtCurrentTime);
  RECT field{};
  ::SendMessageA(time, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&field));
  for (const std::string& designator : {window.Locale().am, window.Locale().pm}) {
    EXPECT_LE(extent(time, "00:00:00 " + designator), field.right - field.left);
  }
  // Disabled while the program disables it or a dialog is over it, enabled when neither is.
  for (const auto& [enabled, blocked] : {std::pair{false, false}, {true, true}, {true, false}}) {
    window.SetWindowEnabled(enabled);
    if (blocked) window.SetModalBlocked(true);  // each dialog's end unblocks it once
    EXPECT_EQ(::IsWindowEnabled(window.Handle()) != FALSE, enabled && !blocked) << blocked;
    if (blocked) window.SetModalBlocked(false);
  }
}

}  // namespace
}  // namespace winui
}  // namespace horalign
