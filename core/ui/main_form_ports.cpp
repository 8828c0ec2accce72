#include <string>

#include "core/ui/main_form.h"

// How the device routines' reports reach the port list and the window.
namespace horalign {
namespace {

const char* ActiveText(PortActive active) {
  switch (active) {
    case PortActive::kYes:
      return "Yes";
    case PortActive::kNo:
      return "No";
    case PortActive::kUnavailable:
      return "N/A";
  }
  return "N/A";
}

}  // namespace

int FormContext::PortOfRow(int row) const {
  const std::string& text = ports.Cell(row, kColPort);
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > 1000) break;
    n = n * 10 + (c - '0');
  }
  return n;
}

PortDevice QV_MainForm::Port(int port) const {
  return {ports_.Cell(port, kColDetected) != "No", ports_.Cell(port, kColSettings),
          ports_.Cell(port, kColDevice), ports_.Cell(port, kColSerial)};
}

void QV_MainForm::ShowPort(int port, PortActive active, const PortDevice& device) {
  // A connection's outcome leaves the buttons fitting its port, whichever row is selected.
  if (deps_.view.WindowEnabled()) {
    SetActionButtons(active == PortActive::kNo, active == PortActive::kYes,
                     active == PortActive::kYes);
  }
  ports_.SetCell(port, kColActive, ActiveText(active));
  ports_.SetCell(port, kColSettings, device.settings);
  ports_.SetCell(port, kColDevice, device.model);
  ports_.SetCell(port, kColSerial, device.serial);
  ports_.SetCell(port, kColDetected, device.detected ? "Yes" : "No");
  ports_.SetColour(port, active != PortActive::kYes ? kGrey : device.detected ? kGreen : kDarkRed);
}

void QV_MainForm::SetDeviceModel(int port, const std::string& model) {
  ports_.SetCell(port, kColDevice, model);
}

void QV_MainForm::SetStatus(int port, const std::string& text) {
  ports_.SetCell(port, kColStatus, text);
}

void QV_MainForm::StampStatusTime(int port) {
  ports_.SetCell(port, kColStatusTime,
                 FormatStatusTime(deps_.clock.LocalNow(), deps_.view.Locale()));
}

void QV_MainForm::SetBusy(bool busy) {
  deps_.pointer.SetBusy(busy);
}

void QV_MainForm::PauseMinuteTimer(bool paused) {
  if (paused) {
    ++ctx_.minutePauses;
  } else if (--ctx_.minutePauses == 0) {
    ctx_.minutePauseEndMs = deps_.loop.MonotonicMs();
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
  const std::string& active = ports_.Cell(row, kColActive);
  if (active == "N/A") {
    SetActionButtons(false, false, false);
  } else if (active == "Yes") {
    SetActionButtons(false, true, ports_.Cell(row, kColDevice) != "Receiver");
  } else {
    SetActionButtons(true, false, false);
  }
}

}  // namespace horalign
