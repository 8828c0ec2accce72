#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace horalign {

// What the core asks of the windows. A face (Qt, Win32, or a recording fake in tests)
// implements these; it draws and forwards events, and decides nothing.

// The controls of the main window that the logic enables, focuses or reads.
enum class Control {
  lbl_Mode,
  cmb_Mode,
  lblInterval,
  txtInterval,
  cmdClose,
  cmdHide,
  cmdActivate,
  cmdDeactivate,
  cmdUpdate,
  cmdRefresh,
  lvwMessages,
  pbxDetails,
  txtCurrentDate,
  txtCurrentTime,
  lblCurrentDate,
};

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The system's separators and designators for date and time texts.
struct LocaleFormat {
  char dateSeparator = '/';
  char timeSeparator = ':';
  std::string am = "AM";
  std::string pm = "PM";
};

// Why the main window is asked to close.
enum class CloseReason {
  kUser,     // the close box or the system menu
  kSession,  // the session ends (log off, shutdown)
  kSignal,   // a termination request from outside (a signal, the task manager)
  kCode,     // the program itself
};

// The entries of the tray pop-up menu: 0 "Show", 1 "Hide", 2 separator, 3 "Close",
// 4 "History...".
inline constexpr int kTrayMenuItems = 5;
struct TrayMenuState {
  bool enabled[kTrayMenuItems] = {true, true, true, true, true};
  bool visible[kTrayMenuItems] = {true, true, true, true, true};
};

// A list in report view, as its columns are sized (columns counted from 0).
class ReportListView {
 public:
  virtual ~ReportListView() = default;
  virtual void AddListColumn(const std::string& title, int widthTwips) = 0;
  virtual void SetListColumnWidth(int column, int widthTwips) = 0;
  virtual int ListWidthTwips() const = 0;
  virtual int ListHeightTwips() const = 0;
  virtual int FirstRowHeightTwips() const = 0;  // 0 when the list has no row
};

// The main window; its port list lvwMessages is the ReportListView.
class MainWindowView : public ReportListView {
 public:
  // Port list (rows counted from 1; columns 0..9). The core's PortListModel is the store;
  // the view shows what it is told.
  virtual void SetRowCount(int rows) = 0;
  virtual void SetCell(int row, int column, const std::string& text) = 0;
  virtual void SetRowColour(int row, Rgb colour) = 0;
  virtual int SelectedRow() const = 0;  // 0 when no row is selected
  // Selects a row (0: none) as the user would see it; raises no event.
  virtual void SetSelectedRow(int row) = 0;

  // Controls.
  virtual void SetControlEnabled(Control control, bool enabled) = 0;
  virtual bool ControlEnabled(Control control) const = 0;
  virtual bool ControlVisible(Control control) const = 0;
  virtual void SetFocus(Control control) = 0;
  // The control that has the focus. A face forwards the list's focus gain to the core only
  // when the user moved the focus; a focus set by the core is handled by the core.
  virtual Control FocusedControl() const = 0;

  // Mode list. Changing the selection from code raises no event: the core calls its own
  // handler where a program change would raise one.
  virtual void AddModeEntry(const std::string& text, int itemData) = 0;
  virtual int ModeEntryCount() const = 0;
  virtual int ModeListIndex() const = 0;  // -1 when nothing is selected
  virtual void SetModeListIndex(int index) = 0;
  virtual int ModeItemData(int index) const = 0;

  // Interval box.
  virtual std::string IntervalText() const = 0;
  virtual void SetIntervalText(const std::string& text) = 0;
  virtual int IntervalMaxLength() const = 0;
  virtual void SelectIntervalText(int start, int length) = 0;

  // Clock display.
  virtual void SetCurrentDate(const std::string& text) = 0;
  virtual void SetCurrentTime(const std::string& text) = 0;
  // The PC clock's sync state, on a line of its own ("" while it is unknown: nothing shown).
  virtual void ShowPcClockState(const std::string& /*text*/) {}

  // The window.
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetPositionTwips(int left, int top) = 0;
  virtual int LeftTwips() const = 0;
  virtual int TopTwips() const = 0;
  virtual int ScreenWidthTwips() const = 0;
  virtual int ScreenHeightTwips() const = 0;
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
  virtual void MinimizeWindow() = 0;
  virtual bool WindowVisible() const = 0;
  virtual void SetWindowEnabled(bool enabled) = 0;
  virtual bool WindowEnabled() const = 0;
  virtual LocaleFormat Locale() const = 0;

  // Notification area. TrayAvailable is false on a desktop without one.
  virtual bool TrayAvailable() const = 0;
  virtual void AddTrayIcon(const std::string& tip) = 0;
  // The tray icon's tip from now on (as AddTrayIcon gave it, or with the PC clock's state).
  virtual void SetTrayTip(const std::string& /*tip*/) {}
  // Pops up the tray menu with these states; a choice comes back as OnPopupOptionsClick.
  virtual void PopupTrayMenu(const TrayMenuState& state) = 0;

  // Opens the program's help at a topic.
  virtual void ShowHelp(int topic) = 0;
  // Opens the history window (or brings it to the front); the face reads the history.
  virtual void ShowHistory() = 0;

  // Ends the program at once: no further handlers run.
  virtual void Quit() = 0;
};

// The application-wide mouse pointer. No nesting: one BusyPointerOff undoes any number of
// BusyPointerOn.
class PointerView {
 public:
  virtual ~PointerView() = default;
  // The hourglass.
  virtual void BusyPointerOn() = 0;
  // The default arrow.
  virtual void BusyPointerOff() = 0;
  virtual bool Busy() const = 0;
};

// The small window that shows one line of text while the ports are scanned.
class LoadingView {
 public:
  virtual ~LoadingView() = default;
  virtual void Show(const std::string& caption, const std::string& text, int widthTwips,
                    int heightTwips) = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
};

// The controls of the message dialog.
enum class MessageControl {
  lblMessageText,
  pic_Critical,
  pic_Question,
  pic_Exclamation,
  pic_Information,
  cmd_Ok,
  cmd_Cancel,
  cmd_Yes,
  cmd_No,
  chkOption,
  tmrTimeOut,
};

// One button of the message dialog as the logic lays it out.
struct MessageButton {
  int code = 0;  // 1 OK, 2 Cancel, 6 Yes, 7 No
  MessageControl control = MessageControl::cmd_Ok;
  std::string caption;  // with its access key, e.g. "&Yes"
  int leftTwips = 0;
  int topTwips = 0;
  bool visible = false;
};

enum class MessageIcon { kCritical, kQuestion, kExclamation, kInformation };

struct MessageLayout {
  std::string caption;
  std::string text;
  MessageIcon icon = MessageIcon::kCritical;
  std::vector<MessageButton> buttons;  // OK, Cancel, Yes, No in this order
  int escapeCode = 0;                  // the button Esc presses; 0 for none
  int focusCode = 0;                   // the button that gets the focus; 0 leaves it
  bool optionVisible = false;
  std::string optionText;
  bool optionChecked = false;
  int windowHeightTwips = 2100;
};

class MessageController;

// The message dialog. ShowModal shows the layout and returns once Close() was called;
// meanwhile the event loop keeps running (timers fire under the dialog).
class MessageDialogView {
 public:
  virtual ~MessageDialogView() = default;
  virtual void ShowModal(const MessageLayout& layout, MessageController& controller) = 0;
  virtual void Close() = 0;
  virtual bool OptionChecked() const = 0;
};

// What a message dialog face forwards to the logic.
class MessageController {
 public:
  virtual ~MessageController() = default;
  virtual void OnButton(int code) = 0;
  // A key typed to the dialog: letters (either case) and Esc (27). Returns true when it
  // pressed a button. Enter is left to the face: it presses the focused button.
  virtual bool OnKey(int key) = 0;
};

}  // namespace horalign
