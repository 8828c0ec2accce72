#include "winui/main_window.h"

#include <commctrl.h>

#include <algorithm>

#include "core/ui/main_form.h"

namespace horalign::winui {
namespace {

constexpr const char* kWindowClass = "HoralignMainWindow";
constexpr const char* kFrameClass = "HoralignFrame";
// Client area of the window, in twips.
constexpr int kClientWidthTwips = 9405;
constexpr int kClientHeightTwips = 5220;
constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;

struct ChildSpec {
  Control control;
  const char* windowClass;
  const char* text;
  DWORD style;
  DWORD exStyle;
  bool inFrame;
  int left, top, width, height;  // twips; inside the frame for its controls
  bool bold;
};

// In creation order, which is also the order from top to bottom where children overlap:
// txtInterval sits in the gap of lblInterval's caption and must stay above it.
constexpr ChildSpec kChildren[] = {
    {Control::lbl_Mode, "Static", "Synchronization &Mode:", SS_LEFTNOWORDWRAP, 0, false, 200, 152,
     2000, 210, true},
    {Control::cmb_Mode, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, false, 2150,
     100, 4500, 315, false},
    {Control::txtInterval, "Edit", "", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
     false, 8350, 107, 500, 300, false},
    {Control::lblInterval, "Static", "Update &Interval:          Min.", SS_LEFTNOWORDWRAP, 0, false,
     6950, 150, 2600, 210, true},
    {Control::pbxDetails, kFrameClass, "", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT | WS_EX_CLIENTEDGE,
     false, 0, 500, 9400, 4200, false},
    {Control::lvwMessages, WC_LISTVIEWA, "",
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, WS_EX_CLIENTEDGE, true, 0, 0,
     9330, 3700, false},
    {Control::cmdActivate, "Button", "Ac&tivate", BS_PUSHBUTTON | WS_TABSTOP, 0, true, 200, 3750,
     1100, 350, false},
    {Control::cmdDeactivate, "Button", "&Deactivate", BS_PUSHBUTTON | WS_TABSTOP, 0, true, 1500,
     3750, 1100, 350, false},
    {Control::cmdUpdate, "Button", "&Update Now", BS_PUSHBUTTON | WS_TABSTOP, 0, true, 2800, 3750,
     1100, 350, false},
    {Control::cmdRefresh, "Button", "&Refresh", BS_PUSHBUTTON | WS_TABSTOP, 0, true, 8150, 3750,
     1100, 350, false},
    {Control::cmdClose, "Button", "&Close", BS_PUSHBUTTON | WS_TABSTOP, 0, false, 200, 4800, 1100,
     350, false},
    {Control::cmdHide, "Button", "&Hide", BS_PUSHBUTTON | WS_TABSTOP, 0, false, 1500, 4800, 1100,
     350, false},
    {Control::lblCurrentDate, "Static", "Current Date && Time:", SS_LEFTNOWORDWRAP, 0, false, 5400,
     4870, 1800, 210, true},
    {Control::txtCurrentDate, "Edit", "", ES_READONLY | ES_CENTER | WS_TABSTOP, WS_EX_CLIENTEDGE,
     false, 7200, 4825, 1050, 300, false},
    {Control::txtCurrentTime, "Edit", "", ES_READONLY | ES_CENTER | WS_TABSTOP, WS_EX_CLIENTEDGE,
     false, 8250, 4825, 1050, 300, false},
};

COLORREF ToColorRef(Rgb c) {
  return RGB(c.r, c.g, c.b);
}

char FirstChar(LCTYPE type, char fallback) {
  char buffer[16] = {};
  if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer) > 0 && buffer[0]) {
    return buffer[0];
  }
  return fallback;
}

std::string LocaleText(LCTYPE type, const char* fallback) {
  char buffer[32] = {};
  if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer) > 0 && buffer[0]) {
    return buffer;
  }
  return fallback;
}

}  // namespace

Win32MainWindow::Win32MainWindow(Win32EventLoop& loop, Win32Pointer& pointer)
    : loop_(loop), pointer_(pointer) {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  icon_ = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
  smallIcon_ =
      static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, 0));
  if (icon_ == nullptr) icon_ = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  if (smallIcon_ == nullptr) smallIcon_ = icon_;
  RegisterFormClass(kWindowClass, &Win32MainWindow::WindowProc, icon_);
  RegisterFormClass(kFrameClass, &Win32MainWindow::FrameProc, nullptr);
  font_ = CreateFormFont(false, twips_.DpiY());
  boldFont_ = CreateFormFont(true, twips_.DpiY());
  taskbarCreated_ = ::RegisterWindowMessageA("TaskbarCreated");

  RECT frame{0, 0, twips_.X(kClientWidthTwips), twips_.Y(kClientHeightTwips)};
  ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  hwnd_ = ::CreateWindowExA(0, kWindowClass, "", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                            instance, this);
  ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  CreateControls();
  filterId_ = loop_.AddFilter([this](MSG& msg) { return FilterMessage(msg); });
}

Win32MainWindow::~Win32MainWindow() {
  loop_.RemoveFilter(filterId_);
  RemoveTrayIcon();
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  ::DeleteObject(font_);
  ::DeleteObject(boldFont_);
}

HWND Win32MainWindow::CreateChild(Control control, const char* windowClass, const char* text,
                                  DWORD style, DWORD exStyle, HWND parent, int left, int top,
                                  int width, int height) {
  HWND child = ::CreateWindowExA(exStyle, windowClass, text, kChild | style, twips_.X(left),
                                 twips_.Y(top), twips_.X(width), twips_.Y(height), parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdOf(control))),
                                 ::GetModuleHandleA(nullptr), this);
  controls_[Index(control)] = child;
  return child;
}

void Win32MainWindow::CreateControls() {
  for (const ChildSpec& desc : kChildren) {
    HWND parent = desc.inFrame ? ControlHandle(Control::pbxDetails) : hwnd_;
    // A drop-down list is created with the height of its open list.
    const int height = desc.control == Control::cmb_Mode ? desc.height * 6 : desc.height;
    HWND child = CreateChild(desc.control, desc.windowClass, desc.text, desc.style, desc.exStyle,
                             parent, desc.left, desc.top, desc.width, height);
    ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(desc.bold ? boldFont_ : font_),
                   FALSE);
  }
  HWND list = ControlHandle(Control::lvwMessages);
  ::SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  HWND mode = ControlHandle(Control::cmb_Mode);
  // The closed list is as tall as designed: the selection field plus its border.
  const int field = twips_.Y(315) - 2 * ::GetSystemMetrics(SM_CYEDGE) - 2;
  ::SendMessageA(mode, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  ::SendMessageA(ControlHandle(Control::txtInterval), EM_LIMITTEXT, 4, 0);
  // Narrow boxes: the text gets the room a text box of the designed size has always had.
  for (Control c : {Control::txtInterval, Control::txtCurrentDate, Control::txtCurrentTime}) {
    ::SendMessageA(ControlHandle(c), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(1, 1));
  }
  // The list, the edit boxes and the buttons report through these procedures.
  for (Control c : {Control::lvwMessages, Control::txtInterval}) {
    ::SetWindowSubclass(ControlHandle(c), &Win32MainWindow::ControlProc, IdOf(c),
                        reinterpret_cast<DWORD_PTR>(this));
  }
}

void Win32MainWindow::AddListColumn(const std::string& title, int widthTwips) {
  CoreCall call(coreCalls_);
  // A header takes "&" as an access-key mark; the title shows it as written.
  std::string shown;
  for (char c : title) shown += c == '&' ? std::string("&&") : std::string(1, c);
  LVCOLUMNA column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.pszText = shown.data();
  column.cx = twips_.X(widthTwips);
  column.iSubItem = columnCount_;
  ::SendMessageA(ControlHandle(Control::lvwMessages), LVM_INSERTCOLUMNA, columnCount_,
                 reinterpret_cast<LPARAM>(&column));
  ++columnCount_;
}

void Win32MainWindow::SetListColumnWidth(int column, int widthTwips) {
  CoreCall call(coreCalls_);
  ::SendMessageA(ControlHandle(Control::lvwMessages), LVM_SETCOLUMNWIDTH, column,
                 MAKELPARAM(twips_.X(widthTwips), 0));
}

int Win32MainWindow::ListWidthTwips() const {
  RECT r{};
  ::GetWindowRect(ControlHandle(Control::lvwMessages), &r);
  return twips_.FromX(r.right - r.left);
}

int Win32MainWindow::ListHeightTwips() const {
  RECT r{};
  ::GetWindowRect(ControlHandle(Control::lvwMessages), &r);
  return twips_.FromY(r.bottom - r.top);
}

int Win32MainWindow::FirstRowHeightTwips() const {
  HWND list = ControlHandle(Control::lvwMessages);
  if (::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) <= 0) return 0;
  RECT r{};
  r.left = LVIR_BOUNDS;
  if (!::SendMessageA(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&r))) return 0;
  return twips_.FromY(r.bottom - r.top);
}

void Win32MainWindow::SetRowCount(int rows) {
  CoreCall call(coreCalls_);
  HWND list = ControlHandle(Control::lvwMessages);
  rows = std::max(rows, 0);
  if (rows == 0) {
    ::SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  }
  int count = static_cast<int>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  while (count > rows) ::SendMessageA(list, LVM_DELETEITEM, --count, 0);
  while (count < rows) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = count++;
    item.pszText = const_cast<char*>("");
    ::SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  rowColours_.resize(static_cast<std::size_t>(rows), ::GetSysColor(COLOR_WINDOWTEXT));
}

void Win32MainWindow::SetCell(int row, int column, const std::string& text) {
  CoreCall call(coreCalls_);
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text.c_str());
  ::SendMessageA(ControlHandle(Control::lvwMessages), LVM_SETITEMTEXTA, row - 1,
                 reinterpret_cast<LPARAM>(&item));
}

void Win32MainWindow::SetRowColour(int row, Rgb colour) {
  if (row < 1 || row > static_cast<int>(rowColours_.size())) return;
  rowColours_[static_cast<std::size_t>(row - 1)] = ToColorRef(colour);
  ::SendMessageA(ControlHandle(Control::lvwMessages), LVM_REDRAWITEMS, row - 1, row - 1);
}

int Win32MainWindow::SelectedRow() const {
  const auto index = ::SendMessageA(ControlHandle(Control::lvwMessages), LVM_GETNEXTITEM,
                                    static_cast<WPARAM>(-1), LVNI_SELECTED);
  return index < 0 ? 0 : static_cast<int>(index) + 1;
}

void Win32MainWindow::SetSelectedRow(int row) {
  CoreCall call(coreCalls_);
  HWND list = ControlHandle(Control::lvwMessages);
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
  if (row < 1) return;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row - 1),
                 reinterpret_cast<LPARAM>(&item));
}

void Win32MainWindow::SetControlEnabled(Control control, bool enabled) {
  CoreCall call(coreCalls_);
  ::EnableWindow(ControlHandle(control), enabled ? TRUE : FALSE);
}

bool Win32MainWindow::ControlEnabled(Control control) const {
  return ::IsWindowEnabled(ControlHandle(control)) != FALSE;
}

bool Win32MainWindow::ControlVisible(Control control) const {
  // The control's own flag, as the form sees it, also while the window itself is hidden.
  return (::GetWindowLongA(ControlHandle(control), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Win32MainWindow::SetFocus(Control control) {
  CoreCall call(coreCalls_);
  ::SetFocus(ControlHandle(control));
}

Control Win32MainWindow::FocusedControl() const {
  HWND focus = ::GetFocus();
  for (int i = 0; i < kControlCount; ++i) {
    if (controls_[i] != nullptr && controls_[i] == focus) return static_cast<Control>(i);
  }
  return Control::pbxDetails;  // the frame never takes the focus: it stands for "none of ours"
}

void Win32MainWindow::AddModeEntry(const std::string& text, int itemData) {
  CoreCall call(coreCalls_);
  HWND mode = ControlHandle(Control::cmb_Mode);
  const auto index = ::SendMessageA(mode, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (index >= 0) ::SendMessageA(mode, CB_SETITEMDATA, static_cast<WPARAM>(index), itemData);
}

int Win32MainWindow::ModeEntryCount() const {
  return static_cast<int>(::SendMessageA(ControlHandle(Control::cmb_Mode), CB_GETCOUNT, 0, 0));
}

int Win32MainWindow::ModeListIndex() const {
  const auto index = ::SendMessageA(ControlHandle(Control::cmb_Mode), CB_GETCURSEL, 0, 0);
  return index < 0 ? -1 : static_cast<int>(index);
}

void Win32MainWindow::SetModeListIndex(int index) {
  CoreCall call(coreCalls_);
  // CB_SETCURSEL raises no notification: a change from code is no click.
  ::SendMessageA(ControlHandle(Control::cmb_Mode), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32MainWindow::ModeItemData(int index) const {
  return static_cast<int>(::SendMessageA(ControlHandle(Control::cmb_Mode), CB_GETITEMDATA,
                                         static_cast<WPARAM>(index), 0));
}

std::string Win32MainWindow::IntervalText() const {
  return WindowText(ControlHandle(Control::txtInterval));
}

void Win32MainWindow::SetIntervalText(const std::string& text) {
  CoreCall call(coreCalls_);
  ::SetWindowTextA(ControlHandle(Control::txtInterval), text.c_str());
}

int Win32MainWindow::IntervalMaxLength() const {
  return static_cast<int>(
      ::SendMessageA(ControlHandle(Control::txtInterval), EM_GETLIMITTEXT, 0, 0));
}

void Win32MainWindow::SelectIntervalText(int start, int length) {
  ::SendMessageA(ControlHandle(Control::txtInterval), EM_SETSEL, static_cast<WPARAM>(start),
                 start + length);
}

void Win32MainWindow::SetCurrentDate(const std::string& text) {
  ::SetWindowTextA(ControlHandle(Control::txtCurrentDate), text.c_str());
}

void Win32MainWindow::SetCurrentTime(const std::string& text) {
  ::SetWindowTextA(ControlHandle(Control::txtCurrentTime), text.c_str());
}

void Win32MainWindow::SetCaption(const std::string& caption) {
  ::SetWindowTextA(hwnd_, caption.c_str());
}

void Win32MainWindow::SetPositionTwips(int left, int top) {
  ::SetWindowPos(hwnd_, nullptr, twips_.X(left), twips_.Y(top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Win32MainWindow::LeftTwips() const {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  RECT r{};
  // A minimized window reports where it will come back to.
  if (::IsIconic(hwnd_) && ::GetWindowPlacement(hwnd_, &placement)) {
    r = placement.rcNormalPosition;
  } else {
    ::GetWindowRect(hwnd_, &r);
  }
  return twips_.FromX(r.left);
}

int Win32MainWindow::TopTwips() const {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  RECT r{};
  if (::IsIconic(hwnd_) && ::GetWindowPlacement(hwnd_, &placement)) {
    r = placement.rcNormalPosition;
  } else {
    ::GetWindowRect(hwnd_, &r);
  }
  return twips_.FromY(r.top);
}

int Win32MainWindow::ScreenWidthTwips() const {
  return twips_.FromX(::GetSystemMetrics(SM_CXSCREEN));
}

int Win32MainWindow::ScreenHeightTwips() const {
  return twips_.FromY(::GetSystemMetrics(SM_CYSCREEN));
}

void Win32MainWindow::ShowWindow() {
  CoreCall call(coreCalls_);
  ::ShowWindow(hwnd_, ::IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  ::SetForegroundWindow(hwnd_);
}

void Win32MainWindow::HideWindow() {
  CoreCall call(coreCalls_);
  ::ShowWindow(hwnd_, SW_HIDE);
}

void Win32MainWindow::MinimizeWindow() {
  CoreCall call(coreCalls_);
  ::ShowWindow(hwnd_, SW_MINIMIZE);
}

bool Win32MainWindow::WindowVisible() const {
  return ::IsWindowVisible(hwnd_) != FALSE;
}

void Win32MainWindow::SetWindowEnabled(bool enabled) {
  CoreCall call(coreCalls_);
  enabled_ = enabled;
  ApplyEnabled();
}

void Win32MainWindow::SetModalBlocked(bool blocked) {
  modalBlocks_ += blocked ? 1 : -1;
  ApplyEnabled();
}

void Win32MainWindow::ApplyEnabled() {
  ::EnableWindow(hwnd_, enabled_ && modalBlocks_ == 0 ? TRUE : FALSE);
}

LocaleFormat Win32MainWindow::Locale() const {
  LocaleFormat format;
  format.dateSeparator = FirstChar(LOCALE_SDATE, '/');
  format.timeSeparator = FirstChar(LOCALE_STIME, ':');
  format.am = LocaleText(LOCALE_S1159, "AM");
  format.pm = LocaleText(LOCALE_S2359, "PM");
  return format;
}

}  // namespace horalign::winui
