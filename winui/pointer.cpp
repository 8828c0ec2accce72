#include "winui/pointer.h"

namespace horalign::winui {
namespace {

HCURSOR Cursor(bool busy) {
  return ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(busy ? IDC_WAIT : IDC_ARROW));
}

// Whether the mouse is over a window of this process: the pointer changes at once there.
bool PointerOverOurWindow() {
  POINT at{};
  if (!::GetCursorPos(&at)) return false;
  HWND under = ::WindowFromPoint(at);
  DWORD process = 0;
  ::GetWindowThreadProcessId(under, &process);
  return under != nullptr && process == ::GetCurrentProcessId();
}

}  // namespace

void Win32Pointer::SetShape(bool busy) {
  busy_ = busy;
  if (PointerOverOurWindow()) ::SetCursor(Cursor(busy));
}

void Win32Pointer::BusyPointerOn() {
  SetShape(true);
}

void Win32Pointer::BusyPointerOff() {
  SetShape(false);
}

bool Win32Pointer::OnSetCursor() const {
  if (!busy_) return false;
  ::SetCursor(Cursor(true));
  return true;
}

}  // namespace horalign::winui
