#include "winui/message_dialog.h"

#include <cctype>

#include "core/ui/window_layout.h"

namespace horalign::winui {
namespace {

constexpr const char* kWindowClass = "HoralignMessage";
constexpr int kOptionId = 900;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

LPCSTR StockIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kQuestion:
      return reinterpret_cast<LPCSTR>(IDI_QUESTION);
    case MessageIcon::kExclamation:
      return reinterpret_cast<LPCSTR>(IDI_EXCLAMATION);
    case MessageIcon::kInformation:
      return reinterpret_cast<LPCSTR>(IDI_ASTERISK);
    case MessageIcon::kCritical:
      break;
  }
  return reinterpret_cast<LPCSTR>(IDI_HAND);
}

}  // namespace

Win32MessageDialog::Win32MessageDialog(Win32EventLoop& loop, Win32Pointer& pointer)
    : loop_(loop), pointer_(pointer) {
  RegisterFormClass(kWindowClass, &Win32MessageDialog::WindowProc, nullptr);
  font_ = CreateFormFont(false, twips_.DpiY());
}

Win32MessageDialog::~Win32MessageDialog() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  ::DeleteObject(font_);
}

HWND Win32MessageDialog::AddChild(const char* windowClass, const char* text, DWORD style, int id,
                                  int left, int top, int width, int height) {
  HWND child = ::CreateWindowExA(0, windowClass, text, WS_CHILD | style, twips_.X(left),
                                 twips_.Y(top), twips_.X(width), twips_.Y(height), hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 ::GetModuleHandleA(nullptr), nullptr);
  ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return child;
}

void Win32MessageDialog::Create(const MessageLayout& layout, HWND owner) {
  // The layout gives the client width and the outer height.
  RECT frame{0, 0, twips_.X(kMessageClientWidthTwips), 0};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  const int width = frame.right - frame.left;
  const int height = twips_.Y(layout.windowHeightTwips);
  RECT around{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (owner != nullptr) ::GetWindowRect(owner, &around);
  const int left = around.left + (around.right - around.left - width) / 2;
  const int top = around.top + (around.bottom - around.top - height) / 2;
  // Without an owner on screen the dialog stands alone and gets a taskbar button.
  hwnd_ = ::CreateWindowExA(kExStyle | (owner == nullptr ? WS_EX_APPWINDOW : 0), kWindowClass,
                            layout.caption.c_str(), kStyle, left, top, width, height, owner,
                            nullptr, ::GetModuleHandleA(nullptr), this);

  const TwipsRect& i = DescOf(PictureOf(layout.icon)).rect;
  HWND icon = AddChild("Static", "", WS_VISIBLE | SS_ICON, -1, i.left, i.top, i.width, i.height);
  ::SendMessageA(icon, STM_SETICON,
                 reinterpret_cast<WPARAM>(::LoadIconA(nullptr, StockIcon(layout.icon))), 0);
  const TwipsRect& t = DescOf(MessageControl::lblMessageText).rect;
  AddChild("Static", layout.text.c_str(), WS_VISIBLE | SS_LEFT | SS_NOPREFIX, -1, t.left, t.top,
           t.width, t.height);
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    buttons_[i] = {0, nullptr};
    if (i >= layout.buttons.size()) continue;
    const MessageButton& b = layout.buttons[i];
    const TwipsRect& size = DescOf(b.control).rect;
    HWND button = AddChild(
        "Button", b.caption.c_str(), BS_PUSHBUTTON | WS_TABSTOP | (b.visible ? WS_VISIBLE : 0),
        kButtonIdBase + b.code, b.leftTwips, b.topTwips, size.width, size.height);
    buttons_[i] = {b.code, button};
  }
  const TwipsRect& o = DescOf(MessageControl::chkOption).rect;
  option_ = AddChild("Button", layout.optionText.c_str(),
                     BS_AUTOCHECKBOX | WS_TABSTOP | (layout.optionVisible ? WS_VISIBLE : 0),
                     kOptionId, o.left, o.top, o.width, o.height);
  ::SendMessageA(option_, BM_SETCHECK, layout.optionChecked ? BST_CHECKED : BST_UNCHECKED, 0);
  optionChecked_ = layout.optionChecked;
}

void Win32MessageDialog::ShowModal(const MessageLayout& layout, MessageController& controller) {
  HWND owner = owner_ ? owner_() : nullptr;
  if (owner != nullptr && !::IsWindowVisible(owner)) owner = nullptr;
  Create(layout, owner);
  if (hwnd_ == nullptr) return;  // could not be shown: the answer stays as it was
  controller_ = &controller;
  const int filter = loop_.AddFilter([this](MSG& msg) { return FilterMessage(msg); });
  if (modalHook_) modalHook_(true);
  ::ShowWindow(hwnd_, SW_SHOW);
  ::SetForegroundWindow(hwnd_);
  // The focus button when there is one, else the platform's choice: the first button shown.
  HWND focus = nullptr;
  for (const auto& [code, button] : buttons_) {
    const bool shown = button != nullptr && ::IsWindowVisible(button);
    if (shown && (code == layout.focusCode || (layout.focusCode == 0 && focus == nullptr))) {
      focus = button;
    }
  }
  if (focus != nullptr) ::SetFocus(focus);
  open_ = true;
  if (shownHook_) shownHook_(hwnd_);
  while (open_ && !loop_.QuitReceived()) loop_.Yield();
  open_ = false;
  loop_.RemoveFilter(filter);
  // The owner comes back before the dialog goes, so the activation returns to it.
  if (modalHook_) modalHook_(false);
  if (owner != nullptr && ::GetActiveWindow() == hwnd_ && ::IsWindowEnabled(owner)) {
    ::SetActiveWindow(owner);
  }
  optionChecked_ = OptionChecked();
  ::DestroyWindow(hwnd_);
  hwnd_ = nullptr;
  option_ = nullptr;
  buttons_ = {};
  controller_ = nullptr;
}

void Win32MessageDialog::Close() {
  // The window goes when the modal loop ends, after its owner is enabled again: hiding it
  // now would hand the activation to another program.
  open_ = false;
}

bool Win32MessageDialog::OptionChecked() const {
  if (option_ == nullptr) return optionChecked_;
  return ::SendMessageA(option_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int Win32MessageDialog::FocusedButtonCode() const {
  HWND focus = ::GetFocus();
  for (const auto& [code, button] : buttons_) {
    if (button != nullptr && button == focus) return code;
  }
  return 0;
}

bool Win32MessageDialog::FilterMessage(MSG& msg) {
  if (!open_ || !IsWithin(hwnd_, msg.hwnd) || controller_ == nullptr) return false;
  switch (msg.message) {
    case WM_KEYDOWN:
      if (msg.wParam == VK_ESCAPE) {
        controller_->OnKey(27);
        return true;
      }
      if (msg.wParam == VK_RETURN) {
        if (const int code = FocusedButtonCode()) controller_->OnButton(code);
        return true;
      }
      break;
    case WM_CHAR:
    case WM_SYSCHAR:
      // Letters are the buttons' keys, typed alone or with Alt.
      if (std::isalpha(static_cast<unsigned char>(msg.wParam))) {
        controller_->OnKey(static_cast<int>(msg.wParam));
        return true;
      }
      break;
    default:
      break;
  }
  return ::IsDialogMessageA(hwnd_, &msg) != FALSE;
}

LRESULT CALLBACK Win32MessageDialog::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = WindowObject<Win32MessageDialog>(hwnd, msg, lParam);
  if (self == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  return self->HandleMessage(hwnd, msg, wParam, lParam);
}

LRESULT Win32MessageDialog::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (HIWORD(wParam) == BN_CLICKED && id > kButtonIdBase && controller_ != nullptr) {
        controller_->OnButton(id - kButtonIdBase);
      }
      return 0;
    }
    case WM_CLOSE:
      // Closed another way than by its buttons: the answer stays what it was.
      Close();
      return 0;
    case WM_SETCURSOR:
      if (pointer_.OnSetCursor()) return TRUE;
      break;
    default:
      break;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace horalign::winui
