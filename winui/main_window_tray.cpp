// The notification-area icon, its pop-up menu, help and the end of the program.
#include "winui/main_window.h"

#include <shellapi.h>

#include <algorithm>
#include <string>

#include "core/ui/main_form.h"

namespace horalign::winui {
namespace {

constexpr UINT kMenuFirstId = 1000;
constexpr UINT kMenuItems = static_cast<UINT>(mnuPopup.mnuPopupOptions.size());

// The first, 88-byte layout of NOTIFYICONDATA: every version of the shell accepts it. The
// tip is cut to what its field holds with the ending NUL.
NOTIFYICONDATAA TrayData(HWND hwnd, UINT id, UINT flags, const std::string& tip) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = hwnd;
  data.uID = id;
  data.uFlags = flags;
  tip.copy(data.szTip, std::min(tip.size(), sizeof data.szTip - 1));
  return data;
}

}  // namespace

bool Win32MainWindow::AddTrayIconNow() {
  NOTIFYICONDATAA data = TrayData(hwnd_, kTrayId, NIF_MESSAGE | NIF_ICON | NIF_TIP, trayTip_);
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = smallIcon_;
  return ::Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
}

void Win32MainWindow::AddTrayIcon(const std::string& tip) {
  trayTip_ = tip;
  trayAdded_ = AddTrayIconNow();
  // Without a notification area a hidden window could not come back: the form minimizes.
  trayAvailable_ = trayAdded_;
  loop_.ProcessPending();
}

void Win32MainWindow::SetTrayTip(const std::string& tip) {
  trayTip_ = tip;
  if (!trayAdded_) return;
  NOTIFYICONDATAA data = TrayData(hwnd_, kTrayId, NIF_TIP, trayTip_);
  ::Shell_NotifyIconA(NIM_MODIFY, &data);
}

void Win32MainWindow::PopupTrayMenu(const TrayMenuState& state) {
  HMENU menu = ::CreatePopupMenu();
  for (const TrayMenuItem item : mnuPopup.order) {
    const auto i = static_cast<UINT>(item);
    if (!state.visible[i]) continue;
    if (item == TrayMenuItem::kSeparator) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    ::AppendMenuA(menu, MF_STRING | (state.enabled[i] ? MF_ENABLED : MF_GRAYED), kMenuFirstId + i,
                  mnuPopup.mnuPopupOptions[i]);
  }
  POINT at{};
  ::GetCursorPos(&at);
  // The menu closes when the user clicks elsewhere only if its owner is in the foreground.
  ::SetForegroundWindow(hwnd_);
  const UINT chosen = static_cast<UINT>(::TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, hwnd_, nullptr));
  ::PostMessageA(hwnd_, WM_NULL, 0, 0);
  ::DestroyMenu(menu);
  if (chosen >= kMenuFirstId && chosen < kMenuFirstId + kMenuItems) {
    const auto item = static_cast<TrayMenuItem>(chosen - kMenuFirstId);
    if (QV_MainForm* form = form_ ? form_() : nullptr) form->OnPopupOptionsClick(item);
  }
}

void Win32MainWindow::ShowHelp(int topic) {
  // The HTML help, at the topic's section: a file URL keeps the section mark.
  std::string page = "file:///";
  for (char c : ProgramFolder() + "\\help\\index.html") {
    page += c == '\\' ? std::string("/") : c == ' ' ? std::string("%20") : std::string(1, c);
  }
  const std::string anchor = HelpAnchor(topic);
  if (!anchor.empty()) page += "#" + anchor;
  ::ShellExecuteA(hwnd_, "open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void Win32MainWindow::ShowHistory() {
  if (historyFolder_ != nullptr) history_.Show(hwnd_, *historyFolder_);
}

void Win32MainWindow::RemoveTrayIcon() {
  if (!trayAdded_) return;
  NOTIFYICONDATAA data = TrayData(hwnd_, kTrayId, 0, {});
  ::Shell_NotifyIconA(NIM_DELETE, &data);
  trayAdded_ = false;
}

void Win32MainWindow::Quit() {
  RemoveTrayIcon();
  // The end, at once: no handler runs after this, whatever loop the call came from.
  ::ExitProcess(0);
}

}  // namespace horalign::winui
