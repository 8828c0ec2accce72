#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <utility>

#include "core/device/model_table.h"
#include "core/settings/app_config.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"
#include "core/ui/main_form.h"

namespace horalign {

void QV_MainForm::FillModeList(int index) {
  auto& view = deps_.view;
  view.AddModeEntry(kModeTexts[0], kModeDeviceFromPc);
  view.AddModeEntry(kModeTexts[1], kModePcFromDevice);
  view.SetModeListIndex(index >= 0 && index <= view.ModeEntryCount() - 1 ? index : -1);
}

void QV_MainForm::OnModeClick() {
  auto& view = deps_.view;
  const int index = view.ModeListIndex();
  if (index < 0) {
    SetFocusSafe(Control::cmb_Mode);
    return;
  }
  const int chosen = view.ModeItemData(index);
  if (chosen == EffectiveMode()) return;

  const int answer = deps_.messages.ShowMessage(
      "Are you sure you to change time synchronization mode?", MessageButtons::kYesNo,
      QV_SYS_Message::kNo, MessageIconCode::kQuestion, "", "", 0);
  if (answer == QV_SYS_Message::kYes) {
    actions_->SetMode(chosen);
    return;
  }
  // Back to the mode in force; the new selection runs this handler once more.
  view.SetModeListIndex(EffectiveMode() - 1);
  SetFocusSafe(Control::cmb_Mode);
  OnModeClick();
}

void QV_MainForm::OnActivateClick() {
  const int selectedPort = SelectedPort();
  if (selectedPort == 0) return;  // no row to act on
  if (EffectiveMode() == kModePcFromDevice) {
    for (int n = 1; n <= ports_.RowCount(); ++n) {
      if (n != selectedPort && ports_.Active(n) == PortActive::kYes) {
        deps_.messages.ShowMessage(
            "Only one device can be used to synchronize the PC time.\r\n"
            "Please deactivate all other devices before activating this device.",
            MessageButtons::kOk, QV_SYS_Message::kOk, MessageIconCode::kExclamation, "", "", 0);
        SetFocusSafe(Control::lvwMessages);
        return;
      }
    }
  }
  actions_->Activate(selectedPort);
}

void QV_MainForm::OnDeactivateClick() {
  const int selectedPort = SelectedPort();
  if (selectedPort == 0) return;
  actions_->Deactivate(selectedPort);
}

void QV_MainForm::SaveUsedPorts() {
  std::int32_t mask = 0;
  for (int n = 1; n <= kPortRows; ++n) {
    if (ports_.Active(n) == PortActive::kYes) mask |= static_cast<std::int32_t>(PortBit(n));
  }
  deps_.config.UsedComPorts = mask;
  SaveRegSetting(deps_.registry, kConfigKey, kValueUsedComPorts, RegKind::kString,
                 std::to_string(mask));
}

void QV_MainForm::OnIntervalGotFocus() {
  deps_.view.SelectIntervalText(0, static_cast<int>(deps_.view.IntervalText().size()));
}

int QV_MainForm::OnIntervalKeyPress(int keyCode) {
  return NumericKeyFilter(keyCode);
}

void QV_MainForm::OnIntervalLostFocus() {
  ApplyUpdateInterval();
}

void QV_MainForm::ApplyUpdateInterval() {
  auto& view = deps_.view;
  double value = LeadingNumber(view.IntervalText());
  if (!(value >= kMinUpdateInterval)) {  // NaN reads as too small
    value = kMinUpdateInterval;
  } else if (value > kMaxUpdateInterval) {
    value = kMaxUpdateInterval;
  }
  const auto minutes = static_cast<std::int16_t>(std::nearbyint(value));
  view.SetIntervalText(ZeroPad(minutes, view.IntervalMaxLength()));
  if (minutes != deps_.config.UpdateInterval) actions_->SetInterval(minutes);
}

void QV_MainForm::OnMinutesTick() {
  // When this tick fell due: whole minutes after the last one (a tick may come a little
  // early, and one that fell due while its own handler ran comes late).
  const std::int64_t now = deps_.loop.MonotonicMs();
  const std::int64_t last = std::exchange(lastMinuteTickMs_, now);
  PollPcClock();
  const std::int64_t due = last + (now - last + kMinuteMs / 100) / kMinuteMs * kMinuteMs;
  // The timer counts as off while a device is served: a tick due meanwhile is dropped, also
  // when it comes only after the pause.
  // Only the side that serves the devices keeps the schedule.
  if (MinuteTimerPaused() || due < minutePauseEndMs_ || !actions_->KeepsSchedule()) return;
  ResumeHeldWrites();
  ++minuteCount_;
  if (minuteCount_ < deps_.config.UpdateInterval) return;
  ApplyUpdateInterval();
  if (userBusy_) {
    minuteCount_ = 0;
    return;
  }
  RunScheduled([this] {
    if (EffectiveMode() == kModeDeviceFromPc) {
      WriteDevices((1u << kPortRows) - 1, deps_.config.VerifyWrites);
    } else if (EffectiveMode() == kModePcFromDevice) {
      ServeTimeSource();
    }
  });
  if (terminated_) return;
  minuteCount_ = 0;
}

void QV_MainForm::RunScheduled(const std::function<void()>& operation) {
  const MinuteTimerPause pause(*this);
  LockWindow(false);
  deps_.loop.ProcessPending();
  operation();
  if (terminated_) return;
  deps_.view.SetWindowEnabled(true);
  EnableControls(true);
  UpdateActionButtons();
}

void QV_MainForm::WriteDevices(std::uint32_t ports, bool readBack) {
  std::uint32_t heldPushes = 0;
  // A jump reported while a device is written queues it again, since its write may have
  // carried the time from before the jump; one written meanwhile needs no push of its own.
  while ((ports |= pendingPushes_) != 0 && !terminated_) {
    const std::uint32_t bit = ports & -ports;
    ports &= ~bit;
    const int n = std::countr_zero(bit) + 1;
    // A write that a push waits for is that push, in the history too.
    const bool push = (pendingPushes_ & bit) != 0;
    const PushCause cause = push ? pushCauses_[n - 1] : PushCause::kNone;
    pendingPushes_ &= ~bit;
    if (ports_.Active(n) != PortActive::kYes) continue;
    // The state is read before each device, so one that changes in the middle of a cycle
    // holds the devices after it.
    if (const HoldReason hold = HoldNow(); hold != HoldReason::kNone) {
      (push ? heldPushes : heldWrites_) |= bit;
      HoldRow(n, hold);
      continue;
    }
    heldWrites_ &= ~bit;
    sync_.WriteTime(static_cast<std::int16_t>(n), readBack, cause);
  }
  // Kept with their causes until the hold lifts.
  pendingPushes_ |= heldPushes;
}

// The PC follows the one active row: it is read when it can be queried, retried when its
// device was missing, and otherwise kept listening so a receiver's events are heard.
void QV_MainForm::ServeTimeSource() {
  for (int n = 1; n <= kPortRows; ++n) {
    if (ports_.Active(n) != PortActive::kYes) continue;
    const auto port = static_cast<std::int16_t>(n);
    const PortDevice device = ports_.Device(n);
    if (SupportsTimeQuery(device.kind) || !device.detected) {
      sync_.ReadTime(port);
    } else if (deps_.serialPort.CommPort() != port || !deps_.serialPort.PortOpen()) {
      deps_.paging.OpenPort(deps_.serialPort, port, device.settings);
    }
    return;
  }
}

bool QV_MainForm::RunRequest(const std::function<void()>& operation) {
  if (terminated_ || userBusy_ || MinuteTimerPaused() || !deps_.view.WindowEnabled() ||
      deps_.pointer.Busy()) {
    return false;
  }
  const MinuteTimerPause pause(*this);
  LockWindow(true);
  deps_.loop.ProcessPending();
  operation();
  if (terminated_) return true;
  deps_.view.SetWindowEnabled(true);
  EnableControls(true);
  UpdateActionButtons();
  userBusy_ = false;
  return true;
}

void QV_MainForm::OnUpdateClick() {
  actions_->Update();
}

}  // namespace horalign

namespace horalign {
namespace {

// A step this small is the clock being trimmed, not a time the devices lack.
constexpr std::int64_t kPushStepMicros = 500'000;

}  // namespace

void QV_MainForm::OnTimeJump(const TimeJump& jump) {
  // Only the side that serves the devices pushes the time.
  if (!deps_.config.PushOnTimeChange || EffectiveMode() != kModeDeviceFromPc || terminated_ ||
      !actions_->KeepsSchedule()) {
    return;
  }
  if (jump.cause == TimeJumpCause::kStep && std::llabs(jump.stepMicros) <= kPushStepMicros) {
    return;
  }
  for (int n = 1; n <= kPortRows; ++n) {
    if (!ports_.HasRow(n) || ports_.Active(n) != PortActive::kYes) continue;
    // The UTC family's command carries UTC, which a new UTC offset leaves as it was.
    if (jump.cause == TimeJumpCause::kOffsetChange && SupportsUtcTimeSet(ports_.Device(n).kind)) {
      continue;
    }
    pendingPushes_ |= PortBit(n);
    pushCauses_[n - 1] = jump.cause == TimeJumpCause::kOffsetChange ? PushCause::kOffsetChange
                         : jump.cause == TimeJumpCause::kResume     ? PushCause::kResume
                                                                    : PushCause::kClockStep;
  }
  if (pendingPushes_ != 0 && !tmrPush_->Enabled()) tmrPush_->SetEnabled(true);
}

// The pushes wait while an operation runs: a user's action, a device being served, or
// anything else that has the window locked.
void QV_MainForm::OnPushTick() {
  if (userBusy_ || MinuteTimerPaused() || !deps_.view.WindowEnabled()) return;
  tmrPush_->SetEnabled(false);
  // A push is no scheduled write: it is not read back; a held cycle's writes are.
  if (pendingPushes_ != 0 || heldWrites_ != 0) {
    RunScheduled([this] {
      const std::uint32_t owed = std::exchange(heldWrites_, 0);
      WriteDevices(owed, owed != 0 && deps_.config.VerifyWrites);
    });
  }
}

}  // namespace horalign
