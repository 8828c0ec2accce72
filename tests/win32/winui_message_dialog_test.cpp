#include "winui/message_dialog.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/ui/message.h"
#include "platform/win32/win32_event_loop.h"
#include "winui/pointer.h"

namespace horalign::winui {
namespace {

// What the user does once the dialog is on screen.
using Action = std::function<void(HWND dialog)>;

HWND Target(HWND dialog) {
  HWND focus = ::GetFocus();
  return IsWithin(dialog, focus) ? focus : dialog;
}

Action Key(WPARAM key) {
  return [key](HWND d) { ::PostMessageA(Target(d), WM_KEYDOWN, key, 0); };
}

Action Char(char c) {
  return [c](HWND d) { ::PostMessageA(Target(d), WM_CHAR, static_cast<WPARAM>(c), 0); };
}

Action Click(const char* caption) {
  return [caption](HWND d) {
    ::PostMessageA(::FindWindowExA(d, nullptr, "Button", caption), BM_CLICK, 0, 0);
  };
}

Action CloseBox() {
  return [](HWND d) { ::PostMessageA(d, WM_CLOSE, 0, 0); };
}

class Win32MessageDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The dialog is a real window: it needs a display (scripts/test-windows.sh has one).
    HWND probe = ::CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                   nullptr);
    if (probe == nullptr) GTEST_SKIP() << "no display for windows";
    ::DestroyWindow(probe);
  }

  int Show(int buttonSet, int focus, const Action& act, const std::string& title = "",
           bool timeoutOn = false, int timeoutMs = 0) {
    view_.SetShownHook([&](HWND dialog) {
      shownCaption_ = WindowText(dialog);
      if (act) act(dialog);
    });
    return messages_.ShowMessage("Question?", buttonSet, focus, 32, title, "", 0, timeoutOn,
                                 timeoutMs);
  }

  Win32EventLoop loop_;
  Win32Pointer pointer_;
  Win32MessageDialog view_{loop_, pointer_};
  QV_SYS_Message messages_{view_, loop_, pointer_, "Horalign"};
  std::string shownCaption_;
};

TEST_F(Win32MessageDialogTest, KeysAndClicksAnswerAsTheButtonsSay) {
  struct Case {
    const char* what;
    int buttonSet, focus;
    Action act;
    int expected;
  };
  const std::vector<Case> cases = {
      {"Esc answers No to a yes/no question", 4, 7, Key(VK_ESCAPE), QV_SYS_Message::kNo},
      {"Y answers Yes", 4, 7, Char('y'), QV_SYS_Message::kYes},
      {"Enter presses the focused No", 4, 7, Key(VK_RETURN), QV_SYS_Message::kNo},
      {"Enter presses the focused Yes", 4, 6, Key(VK_RETURN), QV_SYS_Message::kYes},
      {"a click on Cancel", 1, 1, Click("&Cancel"), QV_SYS_Message::kCancel},
      {"O presses OK", 0, 1, Char('O'), QV_SYS_Message::kOk},
      {"Esc presses Cancel of Yes, No, Cancel", 3, 6, Key(VK_ESCAPE), QV_SYS_Message::kCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Show(c.buttonSet, c.focus, c.act), c.expected);
    EXPECT_EQ(view_.Handle(), nullptr);  // the window is gone once the call returns
  }
}

TEST_F(Win32MessageDialogTest, LettersOfHiddenButtonsAndTheCloseBoxLeaveTheAnswerAsItWas) {
  EXPECT_EQ(Show(4, 7, Char('y')), QV_SYS_Message::kYes);
  // "O" names no button of a yes/no question; the close box then ends the dialog.
  EXPECT_EQ(Show(4, 7, [](HWND d) { Char('o')(d), CloseBox()(d); }), QV_SYS_Message::kYes);
}

TEST_F(Win32MessageDialogTest, TheTimeOutClosesTheDialogWhileOtherTimersKeepFiring) {
  int ticks = 0;
  auto other = loop_.CreateTimer(10, true, [&ticks] { ++ticks; });
  EXPECT_EQ(Show(0, 1, nullptr, "", true, 150), QV_SYS_Message::kTimedOut);
  EXPECT_GE(ticks, 3);
}

TEST_F(Win32MessageDialogTest, TheWindowIsLaidOutInTwipsAsTheLayoutSays) {
  Twips twips;
  std::vector<std::pair<std::string, RECT>> shown;
  bool hidden[2] = {true, true};
  EXPECT_EQ(Show(4, 7,
                 [&](HWND d) {
                   for (const char* caption : {"&Yes", "&No"}) {
                     HWND b = ::FindWindowExA(d, nullptr, "Button", caption);
                     RECT r{};
                     ::GetWindowRect(b, &r);
                     ::MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&r), 2);
                     if (::IsWindowVisible(b)) shown.emplace_back(caption, r);
                   }
                   hidden[0] = !::IsWindowVisible(::FindWindowExA(d, nullptr, "Button", "&Ok"));
                   hidden[1] = !::IsWindowVisible(::FindWindowExA(d, nullptr, "Button", "&Cancel"));
                   EXPECT_EQ(::GetFocus(), ::FindWindowExA(d, nullptr, "Button", "&No"));
                   Key(VK_ESCAPE)(d);
                 }),
            QV_SYS_Message::kNo);
  EXPECT_EQ(shownCaption_, "Horalign - System Message");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].second.left, twips.X(1200));
  EXPECT_EQ(shown[1].second.left, twips.X(2500));
  EXPECT_EQ(shown[0].second.top, twips.Y(1200));
  EXPECT_EQ(shown[0].second.right - shown[0].second.left, twips.X(1100));
  EXPECT_TRUE(hidden[0] && hidden[1]);

  EXPECT_EQ(Show(0, 1, Key(VK_ESCAPE), "Another title"), QV_SYS_Message::kOk);
  EXPECT_EQ(shownCaption_, "Another title");
}

TEST_F(Win32MessageDialogTest, TheOwnerIsBlockedWhileTheDialogIsUp) {
  std::vector<bool> blocked;
  view_.SetModalHook([&blocked](bool on) { blocked.push_back(on); });
  Show(0, 1, Key(VK_RETURN));
  EXPECT_EQ(blocked, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace horalign::winui
