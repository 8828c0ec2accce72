#include "core/ui/main_form.h"

#include <array>

#include "core/settings/com_ports.h"
#include "core/settings/registry.h"
#include "core/ui/list_services.h"

namespace horalign {
namespace {

constexpr std::array<double, kPortColumns> ColumnWeights = {1, 1, 4, 2.5, 0, 2, 0, 0, 0, 0};
constexpr std::array<const char*, kPortColumns> ColumnTitles = {
    "COM Port", "Active", "Status",  "Status Date & Time", "Settings", "Device", "",
    "",         "S/N",    "Detected"};

constexpr std::array<Control, 10> kControlGroup = {
    Control::lbl_Mode,  Control::cmb_Mode,  Control::lblInterval, Control::txtInterval,
    Control::cmdClose,  Control::cmdHide,   Control::cmdActivate, Control::cmdDeactivate,
    Control::cmdUpdate, Control::cmdRefresh};

double WeightTotal() {
  double total = 0;
  for (double w : ColumnWeights) total += w;
  return total;
}

}  // namespace

int NumericKeyFilter(int keyCode) {
  return (keyCode >= '0' && keyCode <= '9') || keyCode < 20 ? keyCode : 0;
}

QV_MainForm::QV_MainForm(const ProgramParts& deps)
    : deps_(deps),
      ports_(deps.view),
      connection_(SyncParts{deps.config, deps.clock, deps.serialPort, deps.paging, deps.loop, *this,
                            deps.history}),
      sync_(SyncParts{deps.config, deps.clock, deps.serialPort, deps.paging, deps.loop, *this,
                      deps.history, deps.feed},
            connection_),
      // The four timers run from the moment the window exists.
      monitor_(deps.loop, deps.paging, deps.delayTicks),
      clockWatch_(deps.clockSync),
      actions_(deps.service ? MakeServiceActions(*deps.service) : MakeLocalActions()) {
  tmrCurrentTime_ = deps.loop.CreateTimer(1000, true, [this] { OnClockTick(); });
  tmrMinutes_ = deps.loop.CreateTimer(kMinuteMs, true, [this] { OnMinutesTick(); });
  tmrPush_ = deps.loop.CreateTimer(kPushPollMs, false, [this] { OnPushTick(); });
  lastMinuteTickMs_ = deps.loop.MonotonicMs();
  // Only the mode that sets the PC clock from a device listens to a receiver.
  deps.paging.OnReceiverTimeLine = [this](std::int16_t port, const std::string& line) {
    if (deps_.config.ConnectionMode == kModePcFromDevice) sync_.ProcessTime(port, line);
  };
  deps.clock.SetJumpListener([this](const TimeJump& jump) { OnTimeJump(jump); });
  // The time daemon is told when a reading's first byte came; only its samples need that.
  if (deps.feed) {
    deps.paging.ArrivalClock = [this]() -> std::int64_t {
      const bool feeding = deps_.config.ConnectionMode == kModePcFromDevice && sync_.Feeding();
      return feeding ? ToEpochMicros(deps_.clock.UtcNow()) : 0;
    };
  }
}

QV_MainForm::~QV_MainForm() {
  actions_.reset();
  // The port monitor outlives the window: it must not call into a window that is gone.
  deps_.paging.OnReceiverTimeLine = nullptr;
  deps_.paging.ArrivalClock = nullptr;
  deps_.clock.SetJumpListener(nullptr);
}

std::string VersionCaption() {
  return std::string(kProgramName) + " (Version " + std::to_string(kVersionMajor) + "." +
         std::to_string(kVersionMinor) + ")";
}

std::string QV_MainForm::Caption() const {
  return VersionCaption();
}

std::int16_t QV_MainForm::EffectiveMode() const {
  const auto mode = deps_.config.ConnectionMode;
  return mode == kModeDeviceFromPc || mode == kModePcFromDevice ? mode : std::int16_t{kModeNone};
}

void QV_MainForm::PlaceWindow() {
  auto& view = deps_.view;
  long long left = ReadWindowEdge(deps_.registry, kValueLastX, 400);
  long long top = ReadWindowEdge(deps_.registry, kValueLastY, 200);
  if (left < 0 || left > view.ScreenWidthTwips()) left = 100;
  if (top < 0 || top > view.ScreenHeightTwips()) top = 100;
  view.SetPositionTwips(static_cast<int>(left), static_cast<int>(top));
}

void QV_MainForm::Load() {
  auto& view = deps_.view;
  auto& loop = deps_.loop;
  view.SetCaption(Caption());
  PlaceWindow();
  minuteCount_ = 0;
  deps_.paging.ReceiverIdle = true;
  SetupPortListColumns();
  view.AddTrayIcon(Caption());
  PollPcClock();
  view.SetIntervalText(ZeroPad(deps_.config.UpdateInterval, view.IntervalMaxLength()));
  FillModeList(EffectiveMode() != kModeNone ? EffectiveMode() - 1 : -1);

  loop.ProcessPending();
  view.ShowWindow();
  loop.ProcessPending();
  actions_->Load();
}

void QV_MainForm::ShowStartNotices() {
  auto& view = deps_.view;
  if (view.ModeListIndex() < 0) {
    deps_.messages.ShowMessage("To activate, please select Synchronization Mode.",
                               MessageButtons::kOk, QV_SYS_Message::kOk,
                               MessageIconCode::kInformation, "", "", 0);
    EnableControls(false);
    view.SetControlEnabled(Control::cmdClose, true);
    view.SetControlEnabled(Control::lbl_Mode, true);
    view.SetControlEnabled(Control::cmb_Mode, true);
    SetFocusSafe(Control::cmb_Mode);
  } else {
    EnableControls(true);
  }
  if (terminated_) return;
  deps_.loop.ProcessPending();
  deps_.messages.ShowMessage("Help is available by pressing F1.", MessageButtons::kOk,
                             QV_SYS_Message::kOk, MessageIconCode::kInformation, "", "", 0, true,
                             5000);
}

void QV_MainForm::SetupPortListColumns() {
  ReportListView& lvwMessages = deps_.view;
  AddListColumns(lvwMessages, ColumnWeights, ColumnTitles);
}

void QV_MainForm::ResizeListColumns() {
  auto& view = deps_.view;
  int room = 0;
  const int rowHeight = view.FirstRowHeightTwips();
  if (ports_.RowCount() > 0 && rowHeight > 0) {
    const int visibleRows = view.ListHeightTwips() / rowHeight;
    if (visibleRows < ports_.RowCount() + 1) room = 250;
  }
  const double total = WeightTotal();
  for (int i = 0; i < kPortColumns; ++i) {
    view.SetListColumnWidth(
        i, static_cast<int>((view.ListWidthTwips() - room - 100) * ColumnWeights[i] / total));
  }
}

void QV_MainForm::RefreshPortList() {
  ports_.Clear();
  for (int n = 1; n <= kPortRows; ++n) {
    ports_.AddRow(n);
    connection_.OpenPortDefault(static_cast<std::int16_t>(n));
    // OpenPort answers true even when the port stayed closed: look at the port itself.
    if (deps_.serialPort.PortOpen()) {
      connection_.DisconnectDevice(static_cast<std::int16_t>(n));
    } else {
      connection_.MarkPortUnavailable(static_cast<std::int16_t>(n));
    }
  }
  // A filled list always has a selected row, so the action buttons have one to act on.
  deps_.view.SetSelectedRow(1);
  userBusy_ = true;
  for (int n = 1; n <= kPortRows && !terminated_; ++n) {
    if (static_cast<std::uint32_t>(deps_.config.UsedComPorts) & PortBit(n)) {
      connection_.ConnectDevice(static_cast<std::int16_t>(n));
    }
  }
  userBusy_ = false;
  ResizeListColumns();
}

void QV_MainForm::EnableControls(bool enabled) {
  for (Control c : kControlGroup) deps_.view.SetControlEnabled(c, enabled);
}

void QV_MainForm::SetFocusSafe(Control control) {
  auto& view = deps_.view;
  if (!view.WindowVisible() || !view.WindowEnabled() || !view.ControlVisible(control) ||
      !view.ControlEnabled(control)) {
    return;
  }
  const bool hadFocus = view.FocusedControl() == control;
  view.SetFocus(control);
  if (!hadFocus && control == Control::lvwMessages) OnListGotFocus();
}

void QV_MainForm::OnClockTick() {
  const CivilTime now = deps_.clock.LocalNow();
  const LocaleFormat locale = deps_.view.Locale();
  deps_.view.SetCurrentTime(FormatClockTime(now, locale));
  deps_.view.SetCurrentDate(FormatClockDate(now, locale));
}

void QV_MainForm::OnListGotFocus() {
  UpdateActionButtons();
}

void QV_MainForm::OnListItemClick() {
  UpdateActionButtons();
}

void QV_MainForm::OnRefreshClick() {
  actions_->Rescan();
}

void QV_MainForm::LockWindow(bool userBusy) {
  if (userBusy) userBusy_ = true;
  EnableControls(false);
  deps_.view.SetWindowEnabled(false);
}

int QV_MainForm::SelectedPort() const {
  const int row = deps_.view.SelectedRow();
  return ports_.Port(row);
}

void QV_MainForm::OnHelp() {
  deps_.view.ShowHelp(HelpTopicOf(deps_.view.FocusedControl()));
}

}  // namespace horalign
