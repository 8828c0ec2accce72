#pragma once

#include <functional>
#include <string>

#include "core/ui/views.h"
#include "platform/win32/win32_api.h"
#include "winui/pointer.h"
#include "winui/win_util.h"

namespace horalign::winui {

// The small window with one line of text shown over the main window while the ports are
// scanned. Owned by the main window, not modal, and it takes no input.
class Win32LoadingWindow : public LoadingView {
 public:
  Win32LoadingWindow(Win32Pointer& pointer, std::function<HWND()> owner);
  ~Win32LoadingWindow() override;
  Win32LoadingWindow(const Win32LoadingWindow&) = delete;
  Win32LoadingWindow& operator=(const Win32LoadingWindow&) = delete;

  // The size is that of the client area, in twips.
  void Show(const std::string& caption, const std::string& text, int widthTwips,
            int heightTwips) override;
  void Hide() override;
  bool Visible() const override;

  HWND Handle() const { return hwnd_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  Win32Pointer& pointer_;
  std::function<HWND()> owner_;
  Twips twips_;
  HFONT font_ = nullptr;
  HWND hwnd_ = nullptr;
};

}  // namespace horalign::winui
