#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

#include "core/ui/views.h"
#include "core/ui/window_layout.h"
#include "gui/twips.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;

namespace horalign {

class CaptionLabel;
class HistoryWindow;
class LogFolder;
class QV_MainForm;

// The main window: every control at its designed place, the port list, the tray icon and
// its menu. It draws what the core tells it and forwards the user's actions to the form;
// events that the core's own calls set off are not the user's and are not forwarded.
class MainWindow : public QWidget, public MainWindowView {
  Q_OBJECT

 public:
  // Where the user's actions go; null while there is no form (before start-up loads it).
  using FormResolver = std::function<QV_MainForm*()>;

  // logicalDpi 0 takes the screen's.
  explicit MainWindow(double logicalDpi = 0);
  ~MainWindow() override;

  void SetForm(FormResolver form) { form_ = std::move(form); }
  // What Quit() does; the program ends the process, tests record the call.
  void SetQuitAction(std::function<void()> quit) { quit_ = std::move(quit); }
  void SetHelpFolder(const QString& folder) { helpFolder_ = folder; }
  // Where the history window reads the history; none: it is not offered.
  void SetHistoryFolder(LogFolder* folder) { historyFolder_ = folder; }
  // The history window, once it was opened.
  HistoryWindow* History() const { return history_; }

  // Asks the form whether the window may close, for the reasons that do not come from the
  // window's close box (session end, signals). Returns true when the close was cancelled.
  bool RequestClose(CloseReason reason);

  QWidget* Widget(Control control) const;
  const TwipsScale& Scale() const { return scale_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }
  // The tray menu for these states: "Show", "Hide", a separator and "Close".
  static std::unique_ptr<QMenu> BuildTrayMenu(const TrayMenuState& state);

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
  bool WindowEnabled() const override;
  LocaleFormat Locale() const override;

  bool TrayAvailable() const override;
  void AddTrayIcon(const std::string& tip) override;
  void SetTrayTip(const std::string& tip) override;
  void PopupTrayMenu(const TrayMenuState& state) override;
  void ShowHelp(int topic) override;
  void ShowHistory() override;
  void Quit() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Marks the span of a call from the core: what Qt raises meanwhile is not the user's.
  class CoreCall {
   public:
    explicit CoreCall(int& depth) : depth_(depth) { ++depth_; }
    ~CoreCall() { --depth_; }
    CoreCall(const CoreCall&) = delete;
    CoreCall& operator=(const CoreCall&) = delete;

   private:
    int& depth_;
  };

  void BuildControls();
  void BuildTabOrder();
  void ConnectControls();
  QWidget* CreateControl(const ControlDesc& desc, QWidget* parent);
  bool FilterKey(QObject* watched, QKeyEvent* event);
  void FilterFocus(QObject* watched, QFocusEvent* event);
  // Follows the notification area as it comes and goes (see AddTrayIcon).
  void WatchTray();
  // Runs `action` on the form when there is one and the event came from the user.
  void Forward(const std::function<void(QV_MainForm&)>& action);

  TwipsScale scale_;
  FormResolver form_;
  std::function<void()> quit_;
  QString helpFolder_;
  LogFolder* historyFolder_ = nullptr;
  HistoryWindow* history_ = nullptr;
  int coreCalls_ = 0;

  std::map<Control, QWidget*> controls_;
  QFrame* details_ = nullptr;
  QTreeWidget* list_ = nullptr;
  QComboBox* modeList_ = nullptr;
  QLineEdit* interval_ = nullptr;
  QLineEdit* currentDate_ = nullptr;
  QLineEdit* currentTime_ = nullptr;
  // The PC clock's state on a line below the designed window, which grows by it while shown.
  QLabel* pcClockState_ = nullptr;
  QSize designedSize_;
  QSystemTrayIcon* tray_ = nullptr;
  QTimer* trayWatch_ = nullptr;
  bool trayShown_ = false;     // the icon is in a notification area
  bool hiddenToTray_ = false;  // HideWindow hid the window; ShowWindow has not shown it since
  bool iconicMark_ = false;    // MinimizeWindow left the window marked to map iconic
  int selectedBeforePress_ = -1;
  // The last position the core set, so that an unmoved window reports it back exactly.
  QPoint placedPx_{-1, -1};
  QPoint placedTwips_;
};

}  // namespace horalign
