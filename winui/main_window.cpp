#include "winui/main_window.h"

#include <commctrl.h>

#include <algorithm>

#include "core/ui/main_form.h"

namespace horalign::winui {
namespace {

constexpr const char* kWindowClass = "HoralignMainWindow";
constexpr const char* kFrameClass = "HoralignFrame";
constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;

struct ChildClass {
  const char* windowClass;
  DWORD style;
  DWORD exStyle;
};

// The platform's control for each kind.
ChildClass ClassOf(const ControlDesc& desc) {
  switch (desc.kind) {
    case ControlKind::kLabel:
      // A caption with a gap is drawn in two parts, around the control in the gap.
      return {
          "Static",
          SplitAtGap(desc.caption).after.empty() ? DWORD{SS_LEFTNOWORDWRAP} : DWORD{SS_OWNERDRAW},
          0};
    case ControlKind::kDropDown:
      return {"ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case ControlKind::kTextBox:
      return {"Edit", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case ControlKind::kDisplayBox:
      return {"Edit", ES_READONLY | ES_CENTER | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case ControlKind::kFrame:
      return {kFrameClass, WS_CLIPCHILDREN, WS_EX_CONTROLPARENT | WS_EX_CLIENTEDGE};
    case ControlKind::kList:
      return {WC_LISTVIEWA, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case ControlKind::kButton:
      break;
  }
  return {"Button", BS_PUSHBUTTON | WS_TABSTOP, 0};
}

// Widths with the controls' own fonts, as the layout asks for them.
class GdiTextMetrics : public TextMetrics {
 public:
  GdiTextMetrics(HFONT font, HFONT bold, int dpiX)
      : font_(font), bold_(bold), dpiX_(dpiX), dc_(::GetDC(nullptr)) {}
  ~GdiTextMetrics() override { ::ReleaseDC(nullptr, dc_); }
  GdiTextMetrics(const GdiTextMetrics&) = delete;
  GdiTextMetrics& operator=(const GdiTextMetrics&) = delete;

  int TextTwips(const std::string& text, bool bold) const override {
    const HGDIOBJ old = ::SelectObject(dc_, bold ? bold_ : font_);
    SIZE size{};
    ::GetTextExtentPoint32A(dc_, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc_, old);
    return ToTwips(size.cx);
  }

  int ChromeTwips(ControlKind kind) const override {
    const int edges = 2 * ::GetSystemMetrics(SM_CXEDGE);
    switch (kind) {
      case ControlKind::kDropDown:  // the arrow, the frame and the field's margins
        return ToTwips(::GetSystemMetrics(SM_CXVSCROLL) + 2 * edges + 4);
      case ControlKind::kTextBox:
      case ControlKind::kDisplayBox:  // the frame, the margins set below and the caret
        return ToTwips(edges + 2 + 2);
      case ControlKind::kButton:
        return ToTwips(edges + 8);
      default:
        return 0;
    }
  }

 private:
  // Rounded up, and a pixel more, so that placing the result in whole pixels cuts nothing.
  int ToTwips(int px) const { return ((px + 1) * 1440 + dpiX_ - 1) / dpiX_; }

  HFONT font_, bold_;
  int dpiX_;
  HDC dc_;
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

// Where the window is, or for a minimized one where it will come back to.
RECT RestoredRect(HWND hwnd) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  RECT r{};
  if (::IsIconic(hwnd) && ::GetWindowPlacement(hwnd, &placement)) return placement.rcNormalPosition;
  ::GetWindowRect(hwnd, &r);
  return r;
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

  // Every text whole at the controls' fonts, measured.
  layout_ = FitMainWindow(GdiTextMetrics(font_, boldFont_, twips_.DpiX()), Locale());
  RECT frame{0, 0, twips_.X(layout_.clientWidthTwips), twips_.Y(layout_.clientHeightTwips)};
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

void Win32MainWindow::CreateControls() {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  for (const ControlDesc& desc : MainWindowControls()) {
    HWND parent = desc.inFrame ? ControlHandle(Control::pbxDetails) : hwnd_;
    const TwipsRect& r = layout_.Rect(desc.control);
    // A drop-down list is created with the height of its open list.
    const int height = desc.kind == ControlKind::kDropDown ? r.height * 6 : r.height;
    const ChildClass kind = ClassOf(desc);
    HWND child = ::CreateWindowExA(
        kind.exStyle, kind.windowClass, desc.caption, kChild | kind.style, twips_.X(r.left),
        twips_.Y(r.top), twips_.X(r.width), twips_.Y(height), parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdOf(desc.control))), instance, this);
    controls_[Index(desc.control)] = child;
    ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(desc.bold ? boldFont_ : font_),
                   FALSE);
    if (desc.maxLength > 0) ::SendMessageA(child, EM_LIMITTEXT, desc.maxLength, 0);
    // Narrow boxes: the text gets the room a text box of the designed size has always had.
    if (desc.kind == ControlKind::kTextBox || desc.kind == ControlKind::kDisplayBox) {
      ::SendMessageA(child, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(1, 1));
    }
  }
  HWND list = ControlHandle(Control::lvwMessages);
  ::SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  HWND mode = ControlHandle(Control::cmb_Mode);
  // The closed list is as tall as designed: the selection field plus its border.
  const int field =
      twips_.Y(layout_.Rect(Control::cmb_Mode).height) - 2 * ::GetSystemMetrics(SM_CYEDGE) - 2;
  ::SendMessageA(mode, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  // The list, the edit boxes and the buttons report through these procedures.
  for (Control c : {Control::lvwMessages, Control::txtInterval}) {
    ::SetWindowSubclass(ControlHandle(c), &Win32MainWindow::ControlProc, IdOf(c),
                        reinterpret_cast<DWORD_PTR>(this));
  }
  AddToolTips();
}

void Win32MainWindow::AddToolTips() {
  toolTips_ = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                                WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                                ::GetModuleHandleA(nullptr), nullptr);
  for (const ControlDesc& desc : MainWindowControls()) {
    if (*desc.toolTip == '\0') continue;
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(ControlHandle(desc.control));
    tool.lpszText = const_cast<char*>(desc.toolTip);
    ::SendMessageA(toolTips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void Win32MainWindow::DrawGapLabel(const DRAWITEMSTRUCT& item) const {
  const CaptionParts parts = SplitAtGap(WindowText(item.hwndItem));
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  ::FillRect(dc, &r, ::GetSysColorBrush(COLOR_BTNFACE));
  const HGDIOBJ old = ::SelectObject(dc, boldFont_);
  ::SetBkMode(dc, TRANSPARENT);
  const bool enabled = ::IsWindowEnabled(item.hwndItem) != FALSE;
  ::SetTextColor(dc, ::GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
  // The access key is underlined as on the other labels; the parts are already shown texts,
  // so the first is drawn from the caption itself, up to its gap.
  const std::string caption = WindowText(item.hwndItem);
  const std::string before = caption.substr(0, caption.find("  "));
  const UINT flags = DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOCLIP |
                     ((item.itemState & ODS_NOACCEL) ? DT_HIDEPREFIX : 0);
  ::DrawTextA(dc, before.c_str(), -1, &r, flags);
  r.left += twips_.X(layout_.gapEndTwips);
  ::DrawTextA(dc, parts.after.c_str(), -1, &r, flags | DT_NOPREFIX);
  ::SelectObject(dc, old);
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

void Win32MainWindow::ShowPcClockState(const std::string& text) {
  const int width = twips_.X(layout_.clientWidthTwips);
  const int designed = twips_.Y(layout_.clientHeightTwips);
  const int margin = twips_.X(120), line = twips_.Y(255);
  if (pcClockState_ == nullptr) {
    // A static text's window text is its accessible name's source: the state itself.
    pcClockState_ = ::CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_LEFT | SS_NOPREFIX, margin,
                                      designed, width - 2 * margin, line, hwnd_, nullptr,
                                      ::GetModuleHandleA(nullptr), nullptr);
    ::SendMessageA(pcClockState_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  ::SetWindowTextA(pcClockState_, text.c_str());
  ::ShowWindow(pcClockState_, text.empty() ? SW_HIDE : SW_SHOWNA);
  RECT frame{0, 0, width, designed + (text.empty() ? 0 : line + margin / 2)};
  ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  ::SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainWindow::SetCaption(const std::string& caption) {
  ::SetWindowTextA(hwnd_, caption.c_str());
}

void Win32MainWindow::SetPositionTwips(int left, int top) {
  ::SetWindowPos(hwnd_, nullptr, twips_.X(left), twips_.Y(top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Win32MainWindow::LeftTwips() const {
  return twips_.FromX(RestoredRect(hwnd_).left);
}

int Win32MainWindow::TopTwips() const {
  return twips_.FromY(RestoredRect(hwnd_).top);
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
