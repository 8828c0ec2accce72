#include "winui/loading_window.h"

#include "core/ui/window_layout.h"

namespace horalign::winui {
namespace {

constexpr const char* kWindowClass = "HoralignLoading";
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

}  // namespace

Win32LoadingWindow::Win32LoadingWindow(Win32Pointer& pointer, std::function<HWND()> owner)
    : pointer_(pointer), owner_(std::move(owner)) {
  RegisterFormClass(kWindowClass, &Win32LoadingWindow::WindowProc, nullptr);
  font_ = CreateFormFont(false, twips_.DpiY());
}

Win32LoadingWindow::~Win32LoadingWindow() {
  Hide();
  ::DeleteObject(font_);
}

void Win32LoadingWindow::Show(const std::string& caption, const std::string& text, int widthTwips,
                              int heightTwips) {
  Hide();  // each use starts from a fresh window
  HWND owner = owner_ ? owner_() : nullptr;
  RECT frame{0, 0, twips_.X(widthTwips), twips_.Y(heightTwips)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT around{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (owner != nullptr && ::IsWindowVisible(owner)) ::GetWindowRect(owner, &around);
  hwnd_ = ::CreateWindowExA(kExStyle, kWindowClass, caption.c_str(), kStyle,
                            around.left + (around.right - around.left - width) / 2,
                            around.top + (around.bottom - around.top - height) / 2, width, height,
                            owner, nullptr, ::GetModuleHandleA(nullptr), this);
  // The label spans the window, its text centred.
  HWND label = ::CreateWindowExA(
      0, "Static", text.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0,
      twips_.Y(kLoadingTextTopTwips), twips_.X(widthTwips), twips_.Y(kLoadingTextHeightTwips),
      hwnd_, nullptr, ::GetModuleHandleA(nullptr), nullptr);
  ::SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  // In front of its owner without taking the focus from it.
  ::ShowWindow(hwnd_, SW_SHOWNA);
  ::UpdateWindow(hwnd_);
}

void Win32LoadingWindow::Hide() {
  if (hwnd_ == nullptr) return;
  ::DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

bool Win32LoadingWindow::Visible() const {
  return hwnd_ != nullptr && ::IsWindowVisible(hwnd_) != FALSE;
}

LRESULT CALLBACK Win32LoadingWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = WindowObject<Win32LoadingWindow>(hwnd, msg, lParam);
  if (self != nullptr && msg == WM_SETCURSOR && self->pointer_.OnSetCursor()) return TRUE;
  // It takes no input: closing it is the program's business.
  if (msg == WM_CLOSE) return 0;
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace horalign::winui
