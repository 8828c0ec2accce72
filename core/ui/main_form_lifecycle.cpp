#include "core/settings/registry.h"
#include "core/ui/main_form.h"

namespace horalign {

std::string QV_MainForm::HideQuestion() const {
  return std::string(kProgramName) +
         " will stay active and will be accessible from the system tray.\r\nTo terminate " +
         kProgramName + ", please select Close. Continue?";
}

void QV_MainForm::OnHideClick() {
  // Without a notification area a hidden window could never come back.
  if (!deps_.view.TrayAvailable()) {
    deps_.view.MinimizeWindow();
    return;
  }
  if (deps_.messages.ShowMessage(HideQuestion(), MessageButtons::kYesNo, QV_SYS_Message::kYes,
                                 MessageIconCode::kQuestion, "", "", 0) == QV_SYS_Message::kYes) {
    deps_.view.HideWindow();
  }
}

void QV_MainForm::OnCloseClick() {
  ApplyUpdateInterval();
  const auto mode = EffectiveMode();
  if (mode == kModeNone) {
    TerminateProgram();
    return;
  }
  const char* question =
      mode == kModeDeviceFromPc
          ? "This will terminate time synchronization of all connected devices. Are you sure "
            "you want to quit?"
          : "This will terminate time synchronization of this PC. Are you sure you want to quit?";
  if (deps_.messages.ShowMessage(question, MessageButtons::kYesNo, QV_SYS_Message::kNo,
                                 MessageIconCode::kQuestion, "", "", 0) != QV_SYS_Message::kNo) {
    TerminateProgram();
  }
}

bool QV_MainForm::OnQueryClose(CloseReason reason) {
  auto& view = deps_.view;
  if (reason != CloseReason::kUser) {
    // The session ends or something outside asks the program to stop: end in order.
    TerminateProgram();
    return false;
  }
  if (!view.WindowEnabled()) return true;  // an operation runs; it must not be cut short
  if (!view.ControlEnabled(Control::cmdHide)) {
    TerminateProgram();
    return false;
  }
  if (!view.TrayAvailable()) {
    view.MinimizeWindow();
    return true;
  }
  if (deps_.messages.ShowMessage(HideQuestion(), MessageButtons::kYesNo, QV_SYS_Message::kYes,
                                 MessageIconCode::kQuestion, "", "", 0) == QV_SYS_Message::kYes) {
    view.HideWindow();
  }
  return true;
}

void QV_MainForm::OnTrayNotify(TrayEvent event) {
  auto& view = deps_.view;
  TrayMenuState state;
  const bool enabled = view.WindowEnabled();
  state.enabled[0] = state.enabled[1] = state.enabled[3] = state.enabled[4] = enabled;
  if (event == TrayEvent::kDoubleClick) {
    view.ShowWindow();
    SetFocusSafe(Control::lvwMessages);
  } else if (event == TrayEvent::kRightButtonDown) {
    const bool visible = view.WindowVisible();
    state.visible[0] = !visible;
    state.visible[1] = visible;
    view.PopupTrayMenu(state);
    if (terminated_) return;
    SetFocusSafe(Control::lvwMessages);
  }
  deps_.loop.ProcessPending();
}

void QV_MainForm::OnPopupOptionsClick(TrayMenuItem item) {
  switch (item) {
    case TrayMenuItem::kShow:
      deps_.view.ShowWindow();
      SetFocusSafe(Control::lvwMessages);
      break;
    case TrayMenuItem::kHide:
      deps_.view.HideWindow();
      break;
    case TrayMenuItem::kClose:
      TerminateProgram();
      break;
    case TrayMenuItem::kHistory:
      OnHistory();
      break;
    case TrayMenuItem::kSeparator:
      break;
  }
}

void QV_MainForm::OnHistory() {
  if (!terminated_) deps_.view.ShowHistory();
}

void QV_MainForm::TerminateProgram() {
  if (terminated_) return;
  terminated_ = true;
  if (deps_.serialPort.PortOpen()) deps_.serialPort.SetPortOpen(false);
  // Every timer stops: nothing of the program runs after this point.
  monitor_.Stop();
  tmrCurrentTime_->SetEnabled(false);
  tmrMinutes_->SetEnabled(false);
  tmrPush_->SetEnabled(false);
  SaveRegSetting(deps_.registry, kConfigKey, kValueLastX, RegKind::kString,
                 std::to_string(deps_.view.LeftTwips()));
  SaveRegSetting(deps_.registry, kConfigKey, kValueLastY, RegKind::kString,
                 std::to_string(deps_.view.TopTwips()));
  deps_.view.Quit();
}

}  // namespace horalign
