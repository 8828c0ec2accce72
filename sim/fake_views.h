#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/platform/event_loop.h"
#include "core/ui/views.h"

namespace horalign::sim {

// A main window that records what the core tells it and lets a test act as the user.
class FakeMainWindow : public MainWindowView {
 public:
  struct Column {
    std::string title;
    int widthTwips = 0;
  };

  // What the test sets up.
  bool trayAvailable = true;
  int screenWidthTwips = 1920 * 15;
  int screenHeightTwips = 1080 * 15;
  int listWidthTwips = 9330;
  int listHeightTwips = 3700;
  int rowHeightTwips = 255;
  LocaleFormat locale;
  // Runs when the core ends the program.
  std::function<void()> onQuit;
  // Watch the core as it draws: every cell written, every enabling of the window.
  std::function<void(int row, int column, const std::string& text)> onCell;
  std::function<void(bool on)> onWindowEnabled;

  // What the core did.
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;  // rows[r-1][c]
  std::vector<Rgb> colours;
  std::string caption;
  int left = 0, top = 0;
  bool visible = false, enabled = true, minimized = false;
  std::vector<std::pair<std::string, int>> modeEntries;
  int modeIndex = -1;
  std::string intervalText;
  std::pair<int, int> intervalSelection{-1, -1};
  std::string currentDate, currentTime;
  std::vector<std::string> trayIcons;
  std::string trayTip, pcClockState;
  std::vector<TrayMenuState> trayMenus;
  std::vector<int> helpTopics;
  int historyOpened = 0;
  int quitCount = 0;
  int selectedRow = 0;
  Control focus = Control::pbxDetails;
  std::map<Control, bool> controlEnabled;
  std::map<Control, bool> controlVisible;

  const std::string& CellText(int row, int column) const;

  void AddListColumn(const std::string& title, int widthTwips) override;
  void SetListColumnWidth(int column, int widthTwips) override;
  int ListWidthTwips() const override { return listWidthTwips; }
  int ListHeightTwips() const override { return listHeightTwips; }
  int FirstRowHeightTwips() const override { return rows.empty() ? 0 : rowHeightTwips; }
  void SetRowCount(int count) override;
  void SetCell(int row, int column, const std::string& text) override;
  void SetRowColour(int row, Rgb colour) override;
  int SelectedRow() const override { return selectedRow; }
  void SetSelectedRow(int row) override { selectedRow = row; }

  void SetControlEnabled(Control control, bool on) override { controlEnabled[control] = on; }
  bool ControlEnabled(Control control) const override;
  bool ControlVisible(Control control) const override;
  void SetFocus(Control control) override { focus = control; }
  Control FocusedControl() const override { return focus; }

  void AddModeEntry(const std::string& text, int itemData) override;
  int ModeEntryCount() const override { return static_cast<int>(modeEntries.size()); }
  int ModeListIndex() const override { return modeIndex; }
  void SetModeListIndex(int index) override { modeIndex = index; }
  int ModeItemData(int index) const override;

  std::string IntervalText() const override { return intervalText; }
  void SetIntervalText(const std::string& text) override { intervalText = text; }
  int IntervalMaxLength() const override { return 4; }
  void SelectIntervalText(int start, int length) override { intervalSelection = {start, length}; }

  void SetCurrentDate(const std::string& text) override { currentDate = text; }
  void SetCurrentTime(const std::string& text) override { currentTime = text; }
  void ShowPcClockState(const std::string& text) override { pcClockState = text; }

  void SetCaption(const std::string& text) override { caption = text; }
  void SetPositionTwips(int l, int t) override { left = l, top = t; }
  int LeftTwips() const override { return left; }
  int TopTwips() const override { return top; }
  int ScreenWidthTwips() const override { return screenWidthTwips; }
  int ScreenHeightTwips() const override { return screenHeightTwips; }
  void ShowWindow() override { visible = true, minimized = false; }
  void HideWindow() override { visible = false; }
  void MinimizeWindow() override { minimized = true; }
  bool WindowVisible() const override { return visible; }
  void SetWindowEnabled(bool on) override;
  bool WindowEnabled() const override { return enabled; }
  LocaleFormat Locale() const override { return locale; }

  bool TrayAvailable() const override { return trayAvailable; }
  void AddTrayIcon(const std::string& tip) override { trayIcons.push_back(tip); }
  void SetTrayTip(const std::string& tip) override { trayTip = tip; }
  void PopupTrayMenu(const TrayMenuState& state) override;
  void ShowHelp(int topic) override { helpTopics.push_back(topic); }
  void ShowHistory() override { ++historyOpened; }
  void Quit() override;
};

class FakePointer : public PointerView {
 public:
  bool busy = false;
  int busyOnCount = 0;
  void BusyPointerOn() override {
    busy = true;
    ++busyOnCount;
  }
  void BusyPointerOff() override { busy = false; }
  bool Busy() const override { return busy; }
};

class FakeLoading : public LoadingView {
 public:
  bool visible = false;
  std::string caption, text;
  int width = 0, height = 0;
  int showCount = 0;
  void Show(const std::string& c, const std::string& t, int w, int h) override;
  void Hide() override { visible = false; }
  bool Visible() const override { return visible; }
};

// The message dialog of the tests: each message shown is recorded with the loop's count of
// yields, and answered by the next scripted response (or by its focus button when the script
// is empty). "Wait" keeps it open, running the event loop, until something closes it.
class FakeMessageDialog : public MessageDialogView {
 public:
  struct Shown {
    MessageLayout layout;
  };
  using Response = std::function<void(const MessageLayout&, MessageController&)>;

  explicit FakeMessageDialog(EventLoop& loop) : loop_(loop) {}

  std::vector<Shown> shown;
  bool optionChecked = false;
  // Called while the dialog is open, once per loop pass, when waiting.
  int maxWaitYields = 100000;

  void Answer(int code);
  void PressKey(int key);
  // Keeps the dialog open, running the loop, until a time-out or the core closes it.
  void Wait();
  void Respond(Response r) { script_.push_back(std::move(r)); }
  bool Open() const { return open_; }
  const MessageLayout& Last() const { return shown.back().layout; }

  void ShowModal(const MessageLayout& layout, MessageController& controller) override;
  void Close() override { open_ = false; }
  bool OptionChecked() const override { return optionChecked; }

 private:
  EventLoop& loop_;
  std::deque<Response> script_;
  bool open_ = false;
};

}  // namespace horalign::sim
