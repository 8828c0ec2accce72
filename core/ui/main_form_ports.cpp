#include <string>

#include "core/device/model_table.h"
#include "core/ui/main_form.h"

// How the device routines' reports reach the port list and the window.
namespace horalign {

PortDevice QV_MainForm::Port(int port) const {
  return ports_.Device(port);
}

void QV_MainForm::ShowPort(int port, PortActive active, const PortDevice& device) {
  // A connection's outcome leaves the buttons fitting its port, whichever row is selected.
  if (deps_.view.WindowEnabled()) {
    SetActionButtons(active == PortActive::kNo, active == PortActive::kYes,
                     active == PortActive::kYes);
  }
  ports_.SetActive(port, active);
  ports_.SetDevice(port, device);
  ports_.SetColour(port, active != PortActive::kYes ? kGrey : device.detected ? kGreen : kDarkRed);
}

void QV_MainForm::SetDeviceModel(int port, const std::string& model, ModelKind kind) {
  ports_.SetModel(port, model, kind);
}

void QV_MainForm::SetStatus(int port, const std::string& text) {
  ports_.SetCell(port, kColStatus, text);
}

void QV_MainForm::StampStatusTime(int port) {
  ports_.SetCell(port, kColStatusTime,
                 FormatStatusTime(deps_.clock.LocalNow(), deps_.view.Locale()));
}

void QV_MainForm::BusyPointerOn() {
  deps_.pointer.BusyPointerOn();
}

void QV_MainForm::BusyPointerOff() {
  deps_.pointer.BusyPointerOff();
}

void QV_MainForm::PauseMinuteTimer(bool paused) {
  if (paused) {
    ++minutePauses_;
  } else if (--minutePauses_ == 0) {
    minutePauseEndMs_ = deps_.loop.MonotonicMs();
  }
}

void QV_MainForm::RestartClockDisplay() {
  if (!tmrCurrentTime_) return;
  tmrCurrentTime_->SetEnabled(false);
  tmrCurrentTime_->SetEnabled(true);
}

void QV_MainForm::SetActionButtons(bool activate, bool deactivate, bool update) {
  deps_.view.SetControlEnabled(Control::cmdActivate, activate);
  deps_.view.SetControlEnabled(Control::cmdDeactivate, deactivate);
  deps_.view.SetControlEnabled(Control::cmdUpdate, update);
}

void QV_MainForm::UpdateActionButtons() {
  if (deps_.view.ModeListIndex() < 0 || !deps_.view.WindowEnabled()) return;
  const int row = deps_.view.SelectedRow();
  if (!ports_.HasRow(row)) {
    // No row to act on: nothing to activate, deactivate or update.
    SetActionButtons(false, false, false);
    return;
  }
  const PortActive active = ports_.Active(row);
  if (active == PortActive::kUnavailable) {
    SetActionButtons(false, false, false);
  } else if (active == PortActive::kYes) {
    // A receiver is only listened to: there is nothing to update.
    SetActionButtons(false, true, ports_.Device(row).kind != ModelKind::kReceiver);
  } else {
    SetActionButtons(true, false, false);
  }
}

}  // namespace horalign
