#include "winui/history_list.h"

#include <commctrl.h>

#include <array>
#include <charconv>
#include <limits>

#include "core/history/history_log.h"
#include "winui/win_util.h"

namespace horalign::winui {
namespace {

constexpr const char* kWindowClass = "HoralignHistory";
constexpr std::array<std::pair<const char*, int>, 12> kColumns = {{{"Time (UTC)", 170},
                                                                   {"Port", 50},
                                                                   {"Model", 100},
                                                                   {"S/N", 60},
                                                                   {"Action", 85},
                                                                   {"Cause", 90},
                                                                   {"Outcome", 60},
                                                                   {"Status", 260},
                                                                   {"ms", 40},
                                                                   {"Offset before (s)", 100},
                                                                   {"Offset after (s)", 100},
                                                                   {"Drift (s/day)", 90}}};

std::string Number(const std::optional<double>& value) {
  if (!value) return "";
  std::array<char, 32> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), *value, std::chars_format::fixed, 3);
  return ec == std::errc() ? std::string(buf.data(), end) : "";
}

}  // namespace

Win32HistoryList::Win32HistoryList() {
  RegisterFormClass(kWindowClass, &Win32HistoryList::WindowProc, nullptr);
  font_ = CreateFormFont(false, Twips().DpiY());
}

Win32HistoryList::~Win32HistoryList() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  ::DeleteObject(font_);
}

std::string Win32HistoryList::CellText(const HistoryEntry& e, int column) {
  switch (column) {
    case 0:
      return IsoUtcText(e.utcMs);
    case 1:
      return PortName(e.port);
    case 2:
      return e.model;
    case 3:
      return e.serial;
    case 4:
      return HistoryActionWord(e.action);
    case 5:
      return PushCauseWord(e.cause);
    case 6:
      return e.ok ? "ok" : "failed";
    case 7:
      return e.status;
    case 8:
      return e.msPastSecond < 0 ? "" : std::to_string(e.msPastSecond);
    case 9:
      return Number(e.offsetBefore);
    case 10:
      return Number(e.offsetAfter);
    case 11:
      return Number(e.driftPerDay);
    default:
      return "";
  }
}

std::string Win32HistoryList::Caption() const {
  std::string caption = "Horalign History - " + std::to_string(read_.entries.size()) + " entries";
  const int skipped = read_.unreadable + read_.newer;
  if (skipped > 0) caption += ", " + std::to_string(skipped) + " lines skipped";
  return caption;
}

void Win32HistoryList::Create(HWND owner) {
  hwnd_ = ::CreateWindowExA(0, kWindowClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                            1000, 560, owner, nullptr, ::GetModuleHandleA(nullptr), this);
  // The list's text is its accessible name.
  list_ = ::CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "History entries",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                LVS_SHOWSELALWAYS | LVS_OWNERDATA,
                            0, 0, 0, 0, hwnd_, nullptr, ::GetModuleHandleA(nullptr), nullptr);
  ::SendMessageA(list_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  ::SendMessageA(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<char*>(kColumns[i].first);
    column.cx = kColumns[i].second;
    ::SendMessageA(list_, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
  }
  RECT client{};
  ::GetClientRect(hwnd_, &client);
  ::MoveWindow(list_, 0, 0, client.right, client.bottom, FALSE);
}

void Win32HistoryList::Show(HWND owner, LogFolder& folder) {
  if (hwnd_ == nullptr) Create(owner);
  read_ = ReadHistory(folder);
  ::SetWindowTextA(hwnd_, Caption().c_str());
  ::SendMessageA(list_, LVM_SETITEMCOUNT, read_.entries.size(), 0);
  ::InvalidateRect(list_, nullptr, TRUE);
  ::ShowWindow(hwnd_, SW_SHOWNORMAL);
  ::SetForegroundWindow(hwnd_);
  ::SetFocus(list_);
}

LRESULT CALLBACK Win32HistoryList::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = WindowObject<Win32HistoryList>(hwnd, msg, lParam);
  if (self == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_SIZE:
      if (self->list_ != nullptr)
        ::MoveWindow(self->list_, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CLOSE:  // kept for the next opening
      ::ShowWindow(hwnd, SW_HIDE);
      return 0;
    case WM_NOTIFY: {
      auto* info = reinterpret_cast<NMLVDISPINFOA*>(lParam);
      if (info->hdr.hwndFrom != self->list_ || info->hdr.code != LVN_GETDISPINFOA ||
          (info->item.mask & LVIF_TEXT) == 0) {
        break;
      }
      const auto& entries = self->read_.entries;
      const auto row = static_cast<std::size_t>(info->item.iItem);
      // Newest first: the files hold the oldest first.
      self->cell_ = row < entries.size()
                        ? CellText(entries[entries.size() - 1 - row], info->item.iSubItem)
                        : std::string();
      info->item.pszText = self->cell_.data();
      return 0;
    }
    default:
      break;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace horalign::winui
