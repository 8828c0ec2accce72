#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/ui/views.h"
#include "core/ui/window_layout.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_event_loop.h"
#include "winui/history_list.h"
#include "winui/pointer.h"
#include "winui/win_util.h"

namespace horalign {
class QV_MainForm;
}

namespace horalign::winui {

// The main window in the platform's own controls: a report-view list, a drop-down list, edit
// boxes, buttons, bold labels, a frame and the notification-area icon. It draws what the
// core tells it and forwards the user's actions to the form; it decides nothing.
class Win32MainWindow : public MainWindowView {
 public:
  using FormSource = std::function<QV_MainForm*()>;

  Win32MainWindow(Win32EventLoop& loop, Win32Pointer& pointer);
  ~Win32MainWindow() override;
  Win32MainWindow(const Win32MainWindow&) = delete;
  Win32MainWindow& operator=(const Win32MainWindow&) = delete;

  // Where the user's actions go; null while there is no form yet.
  void SetForm(FormSource form) { form_ = std::move(form); }
  // Where the history list reads the history; none: it is not offered.
  void SetHistoryFolder(LogFolder* folder) { historyFolder_ = folder; }
  const Win32HistoryList& History() const { return history_; }
  HWND Handle() const { return hwnd_; }
  HWND ControlHandle(Control control) const { return controls_[Index(control)]; }
  HWND ToolTips() const { return toolTips_; }
  // A modal message blocks input to this window whatever the core's enabled state is.
  void SetModalBlocked(bool blocked);
  // A close that does not come from the user (WM_QUIT, for instance).
  void RequestClose(CloseReason reason);
  // Called on WM_TIMECHANGE (someone set the clock) and when the PC resumes from sleep.
  void SetTimeHooks(std::function<void()> onTimeChange, std::function<void()> onResume) {
    onTimeChange_ = std::move(onTimeChange);
    onResume_ = std::move(onResume);
  }

  // MainWindowView.
  void AddListColumn(const std::string& title, int widthTwips) override;
  void SetListColumnWidth(int column, int widthTwips) override;
  int ListWidthTwips() const override;
  int ListHeightTwips() const override;
  int FirstRowHeightTwips() const override;
  void SetRowCount(int rows) override;
  void SetCell(int row, int column, const std::string& text) override;
  void SetRowColour(int row, Rgb colour) override;
  int SelectedRow() const override;
  void SetSelectedRow(int row) override;
  void SetControlEnabled(Control control, bool enabled) override;
  bool ControlEnabled(Control control) const override;
  bool ControlVisible(Control control) const override;
  void SetFocus(Control control) override;
  Control FocusedControl() const override;
  void AddModeEntry(const std::string& text, int itemData) override;
  int ModeEntryCount() const override;
  int ModeListIndex() const override;
  void SetModeListIndex(int index) override;
  int ModeItemData(int index) const override;
  std::string IntervalText() const override;
  void SetIntervalText(const std::string& text) override;
  int IntervalMaxLength() const override;
  void SelectIntervalText(int start, int length) override;
  void SetCurrentDate(const std::string& text) override;
  void SetCurrentTime(const std::string& text) override;
  void ShowPcClockState(const std::string& text) override;
  void SetCaption(const std::string& caption) override;
  void SetPositionTwips(int left, int top) override;
  int LeftTwips() const override;
  int TopTwips() const override;
  int ScreenWidthTwips() const override;
  int ScreenHeightTwips() const override;
  void ShowWindow() override;
  void HideWindow() override;
  void MinimizeWindow() override;
  bool WindowVisible() const override;
  void SetWindowEnabled(bool enabled) override;
  bool WindowEnabled() const override { return enabled_; }
  LocaleFormat Locale() const override;
  bool TrayAvailable() const override { return trayAvailable_; }
  void AddTrayIcon(const std::string& tip) override;
  void SetTrayTip(const std::string& tip) override;
  void PopupTrayMenu(const TrayMenuState& state) override;
  void ShowHelp(int topic) override;
  void ShowHistory() override;
  void Quit() override;

 private:
  // Marks the core's own calls, so the notifications they cause are not sent back to it.
  class CoreCall {
   public:
    explicit CoreCall(int& depth) : depth_(depth) { ++depth_; }
    ~CoreCall() { --depth_; }
    CoreCall(const CoreCall&) = delete;
    CoreCall& operator=(const CoreCall&) = delete;

   private:
    int& depth_;
  };

  static constexpr UINT kTrayMessage = WM_APP + 1;
  static constexpr UINT kTrayId = 1;
  // The mode list's click is handled once the list has finished its own work.
  static constexpr UINT kModeClickMessage = WM_APP + 2;

  static int Index(Control control) { return static_cast<int>(control); }
  static int IdOf(Control control) { return 100 + Index(control); }

  // Creation (main_window.cpp).
  void CreateControls();
  void AddToolTips();
  void DrawGapLabel(const DRAWITEMSTRUCT& item) const;
  void ApplyEnabled();
  // Tray (main_window_tray.cpp).
  bool AddTrayIconNow();
  void RemoveTrayIcon();

  // Events (main_window_events.cpp).
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);
  LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT OnControlMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, Control control);
  void OnCommand(int id, int code);
  LRESULT OnNotify(const NMHDR& header, LPARAM lParam);
  bool FilterMessage(MSG& msg);
  bool OnKeyDown(const MSG& msg);
  void MoveFocus(bool backwards);
  void Forward(const std::function<void(QV_MainForm&)>& action);

  Win32EventLoop& loop_;
  Win32Pointer& pointer_;
  Twips twips_;
  MainLayout layout_;
  HWND hwnd_ = nullptr;
  HWND toolTips_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  HFONT font_ = nullptr;
  HFONT boldFont_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  FormSource form_;
  std::function<void()> onTimeChange_;
  std::function<void()> onResume_;
  int filterId_ = 0;
  int coreCalls_ = 0;
  bool enabled_ = true;
  int modalBlocks_ = 0;
  std::vector<COLORREF> rowColours_;
  int columnCount_ = 0;
  HWND focusOnDeactivate_ = nullptr;
  bool trayAvailable_ = true;
  bool trayAdded_ = false;
  std::string trayTip_;
  // The PC clock's state on a line below the designed window, which grows by it while shown.
  HWND pcClockState_ = nullptr;
  UINT taskbarCreated_ = 0;
  LogFolder* historyFolder_ = nullptr;
  Win32HistoryList history_;
};

}  // namespace horalign::winui
