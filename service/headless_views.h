#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/platform/instance.h"
#include "core/ui/views.h"

namespace horalign {

// A text in logfmt form: bare when it is one plain word, else in double quotes with
// backslash escapes (CR and LF as \r and \n), so one record is always one line.
std::string LogValue(const std::string& text);

// Writes one line to the log (standard error) in a single write.
void LogLine(std::FILE* log, const std::string& line);

// The main window of a program without a screen. It keeps what the core tells it, so the
// core reads back what it wrote, and writes each settled change of a port row as one log
// line: port, active, device, S/N, status text and the status time. A row has settled once the
// core has stamped its status time and gone on to anything else (the cells it resets
// after the stamp belong to the same change).
class LogMainWindow : public MainWindowView {
 public:
  explicit LogMainWindow(std::FILE* log) : log_(log) {}

  bool logRows = true;
  // Takes each settled row's line (and the row) instead of the log, when set.
  std::function<void(int row, const std::string& line)> onRow;
  // Runs when the core ends the program.
  std::function<void()> onQuit;

  void FlushRow();

  void AddListColumn(const std::string& title, int widthTwips) override;
  void SetListColumnWidth(int, int) override { FlushRow(); }
  int ListWidthTwips() const override { return 9330; }
  int ListHeightTwips() const override { return 3700; }
  int FirstRowHeightTwips() const override { return rows_.empty() ? 0 : 255; }
  void SetRowCount(int rows) override;
  void SetCell(int row, int column, const std::string& text) override;
  void SetRowColour(int row, Rgb) override;
  // Nobody clicks here; the selection is kept only so the core reads back what it set.
  int SelectedRow() const override { return selectedRow_; }
  void SetSelectedRow(int row) override { selectedRow_ = row; }

  void SetControlEnabled(Control control, bool enabled) override;
  bool ControlEnabled(Control control) const override;
  bool ControlVisible(Control) const override { return true; }
  void SetFocus(Control control) override { focus_ = control; }
  Control FocusedControl() const override { return focus_; }

  void AddModeEntry(const std::string& text, int itemData) override;
  int ModeEntryCount() const override { return static_cast<int>(modes_.size()); }
  int ModeListIndex() const override { return modeIndex_; }
  void SetModeListIndex(int index) override { modeIndex_ = index; }
  int ModeItemData(int index) const override;

  std::string IntervalText() const override { return interval_; }
  void SetIntervalText(const std::string& text) override { interval_ = text; }
  int IntervalMaxLength() const override { return 4; }
  void SelectIntervalText(int, int) override {}

  void SetCurrentDate(const std::string&) override {}
  void SetCurrentTime(const std::string&) override { FlushRow(); }

  void SetCaption(const std::string&) override {}
  void SetPositionTwips(int left, int top) override { left_ = left, top_ = top; }
  int LeftTwips() const override { return left_; }
  int TopTwips() const override { return top_; }
  // Large enough that the stored window position is kept as it is.
  int ScreenWidthTwips() const override { return 1 << 30; }
  int ScreenHeightTwips() const override { return 1 << 30; }
  void ShowWindow() override { visible_ = true; }
  void HideWindow() override { visible_ = false; }
  void MinimizeWindow() override {}
  bool WindowVisible() const override { return visible_; }
  void SetWindowEnabled(bool enabled) override;
  bool WindowEnabled() const override { return enabled_; }
  LocaleFormat Locale() const override { return {}; }

  bool TrayAvailable() const override { return false; }
  void AddTrayIcon(const std::string&) override {}
  void PopupTrayMenu(const TrayMenuState&) override {}
  void ShowHelp(int) override {}
  void ShowHistory() override {}
  void Quit() override;

  const std::string& Cell(int row, int column) const;

 private:
  std::FILE* log_;
  std::vector<std::array<std::string, 10>> rows_;
  int pendingRow_ = 0;  // stamped, not yet logged
  std::map<Control, bool> enabledControls_;
  int selectedRow_ = 0;
  Control focus_ = Control::pbxDetails;
  std::vector<std::pair<std::string, int>> modes_;
  int modeIndex_ = -1;
  std::string interval_;
  int left_ = 0, top_ = 0;
  bool visible_ = false, enabled_ = true;
};

// The message dialog without a screen: logs the message and answers at once with its
// default button (the focused one, else the one Esc presses, else the first shown).
class LogMessageDialog : public MessageDialogView {
 public:
  explicit LogMessageDialog(std::FILE* log) : log_(log) {}
  // Takes each message's line instead of the log, when set.
  std::function<void(const std::string& line)> onLine;
  void ShowModal(const MessageLayout& layout, MessageController& controller) override;
  void Close() override {}
  bool OptionChecked() const override { return false; }

 private:
  std::FILE* log_;
};

class NullPointer : public PointerView {
 public:
  void BusyPointerOn() override { busy_ = true; }
  void BusyPointerOff() override { busy_ = false; }
  bool Busy() const override { return busy_; }

 private:
  bool busy_ = false;
};

class NullLoading : public LoadingView {
 public:
  void Show(const std::string&, const std::string&, int, int) override { visible_ = true; }
  void Hide() override { visible_ = false; }
  bool Visible() const override { return visible_; }

 private:
  bool visible_ = false;
};

// A command claims no instance slot: it holds each port it works on with that port's lock.
class NoInstanceSlot : public InstanceGuard {
 public:
  bool Claim() override { return true; }
};

}  // namespace horalign
