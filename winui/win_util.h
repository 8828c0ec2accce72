#pragma once

#include <string>

#include "platform/win32/win32_api.h"

namespace horalign::winui {

// Window geometry in twips (1/1440 inch) to pixels and back, with the screen's logical dpi:
// 15 twips a pixel at 96 dpi.
class Twips {
 public:
  Twips();
  int X(int twips) const { return ::MulDiv(twips, dpiX_, 1440); }
  int Y(int twips) const { return ::MulDiv(twips, dpiY_, 1440); }
  int FromX(int pixels) const { return ::MulDiv(pixels, 1440, dpiX_); }
  int FromY(int pixels) const { return ::MulDiv(pixels, 1440, dpiY_); }
  int DpiX() const { return dpiX_; }
  int DpiY() const { return dpiY_; }

 private:
  int dpiX_ = 96;
  int dpiY_ = 96;
};

// The forms' font, MS Sans Serif 8.25 pt, at the screen's dpi. The caller deletes it.
HFONT CreateFormFont(bool bold, int dpiY);

std::string WindowText(HWND hwnd);

// Registers a window class of this program once (later calls do nothing).
void RegisterFormClass(const char* name, WNDPROC proc, HICON icon);

// The object a window was created for: CreateWindowExA's last argument, kept at
// WM_NCCREATE. Null for the few messages before it.
template <class T>
T* WindowObject(HWND hwnd, UINT msg, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  return reinterpret_cast<T*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// True when `hwnd` is `root` or lies inside it.
bool IsWithin(HWND root, HWND hwnd);

// The folder of the running program, without a trailing backslash.
std::string ProgramFolder();

}  // namespace horalign::winui
