#pragma once

#include <array>
#include <functional>

#include "core/ui/views.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_event_loop.h"
#include "winui/pointer.h"
#include "winui/win_util.h"

namespace horalign::winui {

// The program's own message dialog: a window of its own laid out as the core's layout says,
// run modally by a nested message loop in which the timers keep firing. Keys go to the core
// (letters, Esc); Enter presses the focused button; a click reports the button's code.
class Win32MessageDialog : public MessageDialogView {
 public:
  Win32MessageDialog(Win32EventLoop& loop, Win32Pointer& pointer);
  ~Win32MessageDialog() override;
  Win32MessageDialog(const Win32MessageDialog&) = delete;
  Win32MessageDialog& operator=(const Win32MessageDialog&) = delete;

  // The window the dialog belongs to and centres on, when there is one on screen.
  void SetOwner(std::function<HWND()> owner) { owner_ = std::move(owner); }
  // Called with true when the dialog opens and false when it closes, to block the owner.
  void SetModalHook(std::function<void(bool)> hook) { modalHook_ = std::move(hook); }
  // Runs once the dialog is on screen, inside its modal loop (for tests and screenshots).
  void SetShownHook(std::function<void(HWND)> hook) { shownHook_ = std::move(hook); }

  void ShowModal(const MessageLayout& layout, MessageController& controller) override;
  void Close() override;
  bool OptionChecked() const override;

  HWND Handle() const { return hwnd_; }

 private:
  static constexpr int kButtonIdBase = 1000;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Create(const MessageLayout& layout, HWND owner);
  HWND AddChild(const char* windowClass, const char* text, DWORD style, int id, int left, int top,
                int width, int height);
  bool FilterMessage(MSG& msg);
  int FocusedButtonCode() const;

  Win32EventLoop& loop_;
  Win32Pointer& pointer_;
  Twips twips_;
  HFONT font_ = nullptr;
  std::function<HWND()> owner_;
  std::function<void(bool)> modalHook_;
  std::function<void(HWND)> shownHook_;
  HWND hwnd_ = nullptr;
  HWND option_ = nullptr;
  std::array<std::pair<int, HWND>, 4> buttons_{};  // code and window, in layout order
  MessageController* controller_ = nullptr;
  bool open_ = false;
  bool optionChecked_ = false;
};

}  // namespace horalign::winui
