// What the user does to the main window, forwarded to the form.
#include "winui/main_window.h"

#include <commctrl.h>

#include <span>

#include "core/ui/main_form.h"

namespace horalign::winui {

void Win32MainWindow::Forward(const std::function<void(QV_MainForm&)>& action) {
  if (QV_MainForm* form = form_ ? form_() : nullptr) action(*form);
}

void Win32MainWindow::RequestClose(CloseReason reason) {
  Forward([reason](QV_MainForm& f) { f.OnQueryClose(reason); });
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = WindowObject<Win32MainWindow>(hwnd, msg, lParam);
  if (self == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  return self->HandleMessage(hwnd, msg, wParam, lParam);
}

// The frame holds the list and four buttons; what they report goes to the window.
LRESULT CALLBACK Win32MainWindow::FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = WindowObject<Win32MainWindow>(hwnd, msg, lParam);
  if (self != nullptr) {
    switch (msg) {
      case WM_COMMAND:
      case WM_NOTIFY:
        return self->HandleMessage(self->hwnd_, msg, wParam, lParam);
      case WM_SETCURSOR:
        if (self->pointer_.OnSetCursor()) return TRUE;
        break;
      default:
        break;
    }
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK Win32MainWindow::ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR id, DWORD_PTR self) {
  auto* window = reinterpret_cast<Win32MainWindow*>(self);
  const auto control = static_cast<Control>(static_cast<int>(id) - 100);
  return window->OnControlMessage(hwnd, msg, wParam, lParam, control);
}

LRESULT Win32MainWindow::OnControlMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                          Control control) {
  const HWND other = reinterpret_cast<HWND>(wParam);
  // A move inside this window (or one the core made); coming back to the control that had
  // the focus when the window was left is no new focus.
  const bool focusArrives = msg == WM_SETFOCUS && (IsWithin(hwnd_, other) || coreCalls_ > 0 ||
                                                   focusOnDeactivate_ != hwnd);
  if (control == Control::lvwMessages) {
    const LRESULT result = ::DefSubclassProc(hwnd, msg, wParam, lParam);
    // The form handles a focus it set itself.
    if (focusArrives && coreCalls_ == 0) Forward([](QV_MainForm& f) { f.OnListGotFocus(); });
    return result;
  }
  // The interval box: every typed character passes the form's key filter first.
  if (msg == WM_CHAR) {
    int code = static_cast<int>(wParam);
    Forward([&code](QV_MainForm& f) { code = f.OnIntervalKeyPress(code); });
    if (code == 0) return 0;
    return ::DefSubclassProc(hwnd, msg, static_cast<WPARAM>(code), lParam);
  }
  const LRESULT result = ::DefSubclassProc(hwnd, msg, wParam, lParam);
  if (focusArrives) Forward([](QV_MainForm& f) { f.OnIntervalGotFocus(); });
  if (msg == WM_KILLFOCUS && IsWithin(hwnd_, other)) {
    Forward([](QV_MainForm& f) { f.OnIntervalLostFocus(); });
  }
  return result;
}

LRESULT Win32MainWindow::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SETCURSOR:
      if (pointer_.OnSetCursor()) return TRUE;
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam), lParam);
    case WM_DRAWITEM:
      if (reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->CtlType == ODT_STATIC) {
        DrawGapLabel(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      break;
    case kTrayMessage:
      if (lParam == WM_RBUTTONDOWN) {
        Forward([](QV_MainForm& f) { f.OnTrayNotify(TrayEvent::kRightButtonDown); });
      } else if (lParam == WM_LBUTTONDBLCLK) {
        Forward([](QV_MainForm& f) { f.OnTrayNotify(TrayEvent::kDoubleClick); });
      }
      return 0;
    case kModeClickMessage:
      Forward([](QV_MainForm& f) { f.OnModeClick(); });
      return 0;
    case WM_ACTIVATE:
      // As a dialog does: the focus leaves with the window and comes back to the same control.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus != hwnd_ && IsWithin(hwnd_, focus)) focusOnDeactivate_ = focus;
      } else if (!HIWORD(wParam) && IsWithin(hwnd_, focusOnDeactivate_) &&
                 ::IsWindowEnabled(focusOnDeactivate_) && ::IsWindowVisible(focusOnDeactivate_)) {
        ::SetFocus(focusOnDeactivate_);
        return 0;
      }
      break;
    case WM_CLOSE:
      // The close box and the system menu: the form decides, and ends the program itself.
      RequestClose(CloseReason::kUser);
      return 0;
    case WM_QUERYENDSESSION:
      RequestClose(CloseReason::kSession);
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) RequestClose(CloseReason::kSession);
      return 0;
    case WM_TIMECHANGE:
      if (onTimeChange_) onTimeChange_();
      return 0;
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMRESUMEAUTOMATIC && onResume_) onResume_();
      return TRUE;
    default:
      if (msg == taskbarCreated_ && taskbarCreated_ != 0 && trayAdded_) {
        AddTrayIconNow();  // the shell restarted and lost the icon
        return 0;
      }
      break;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

void Win32MainWindow::OnCommand(int id, int code) {
  const auto control = static_cast<Control>(id - 100);
  if (id < 100 || id >= 100 + kControlCount) return;  // IDOK, IDCANCEL from dialog keys
  if (control == Control::cmb_Mode) {
    if (code == CBN_SELCHANGE && coreCalls_ == 0) ::PostMessageA(hwnd_, kModeClickMessage, 0, 0);
    return;
  }
  if (code != BN_CLICKED) return;
  switch (control) {
    case Control::cmdActivate:
      Forward([](QV_MainForm& f) { f.OnActivateClick(); });
      break;
    case Control::cmdDeactivate:
      Forward([](QV_MainForm& f) { f.OnDeactivateClick(); });
      break;
    case Control::cmdUpdate:
      Forward([](QV_MainForm& f) { f.OnUpdateClick(); });
      break;
    case Control::cmdRefresh:
      Forward([](QV_MainForm& f) { f.OnRefreshClick(); });
      break;
    case Control::cmdHide:
      Forward([](QV_MainForm& f) { f.OnHideClick(); });
      break;
    case Control::cmdClose:
      Forward([](QV_MainForm& f) { f.OnCloseClick(); });
      break;
    default:
      break;
  }
}

LRESULT Win32MainWindow::OnNotify(const NMHDR& header, LPARAM lParam) {
  if (header.hwndFrom != ControlHandle(Control::lvwMessages)) return 0;
  switch (header.code) {
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(lParam);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const auto row = static_cast<std::size_t>(draw->nmcd.dwItemSpec);
        if (row < rowColours_.size()) draw->clrText = rowColours_[row];
      }
      return CDRF_DODEFAULT;
    }
    case LVN_ITEMCHANGED: {
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
      const bool selected = (change->uChanged & LVIF_STATE) &&
                            (change->uNewState & LVIS_SELECTED) &&
                            !(change->uOldState & LVIS_SELECTED);
      if (selected && coreCalls_ == 0) Forward([](QV_MainForm& f) { f.OnListItemClick(); });
      return 0;
    }
    case NM_CLICK:
      if (reinterpret_cast<const NMITEMACTIVATE*>(lParam)->iItem >= 0) {
        Forward([](QV_MainForm& f) { f.OnListItemClick(); });
      }
      return 0;
    default:
      return 0;
  }
}

bool Win32MainWindow::FilterMessage(MSG& msg) {
  if (!IsWithin(hwnd_, msg.hwnd)) return false;
  if (msg.message == WM_KEYDOWN && OnKeyDown(msg)) return true;
  if (msg.message == WM_SYSCHAR) {
    // The labels' access keys lead to the control each one names.
    const int key = static_cast<int>(msg.wParam) | 0x20;
    for (const ControlDesc& desc : MainWindowControls()) {
      if (desc.kind != ControlKind::kLabel || AccessKeyOf(desc.caption) != key) continue;
      HWND target = ControlHandle(desc.names);
      if (!::IsWindowEnabled(target)) break;
      ::SetFocus(target);
      return true;
    }
  }
  // Buttons' access keys and the rest of the keyboard interface.
  return ::IsDialogMessageA(hwnd_, &msg) != FALSE;
}

bool Win32MainWindow::OnKeyDown(const MSG& msg) {
  switch (msg.wParam) {
    case VK_F1:
      Forward([](QV_MainForm& f) { f.OnHelp(); });
      return true;
    case kHistoryKeyLetter:
      if (::GetKeyState(VK_CONTROL) >= 0 || ::GetKeyState(VK_MENU) < 0) return false;
      Forward([](QV_MainForm& f) { f.OnHistory(); });
      return true;
    case VK_RETURN:
      // An open drop-down list takes Enter as its choice.
      if (msg.hwnd == ControlHandle(Control::cmb_Mode) &&
          ::SendMessageA(msg.hwnd, CB_GETDROPPEDSTATE, 0, 0)) {
        return false;
      }
      MoveFocus(false);  // Enter stands for Tab anywhere in the window
      return true;
    case VK_TAB:
      MoveFocus(::GetKeyState(VK_SHIFT) < 0);
      return true;
    default:
      return false;
  }
}

void Win32MainWindow::MoveFocus(bool backwards) {
  const std::span<const Control> order = TabOrder();
  const int count = static_cast<int>(order.size());
  int at = -1;
  const Control focused = FocusedControl();
  for (int i = 0; i < count; ++i) {
    if (order[static_cast<std::size_t>(i)] == focused) at = i;
  }
  for (int step = 1; step <= count; ++step) {
    const int i = ((at < 0 && backwards ? count : at) + (backwards ? -step : step) + count) % count;
    const Control next = order[static_cast<std::size_t>(i)];
    HWND target = ControlHandle(next);
    if (!::IsWindowVisible(target) || !::IsWindowEnabled(target)) continue;
    // A disabled frame disables what it holds.
    if (::GetParent(target) != hwnd_ && !::IsWindowEnabled(::GetParent(target))) continue;
    ::SetFocus(target);
    if (DescOf(next).kind == ControlKind::kDisplayBox) {
      ::SendMessageA(target, EM_SETSEL, 0, -1);
    }
    return;
  }
}

}  // namespace horalign::winui
