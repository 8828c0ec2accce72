// The window as a client of the service that owns the ports: it shows the service's rows and
// settings as they come and passes the user's actions on. Nothing here opens a port.
#include <string>

#include "core/device/model_table.h"
#include "core/ui/main_form.h"

namespace horalign {
namespace {

PortActive ActiveOf(const std::string& text) {
  return text == "Yes"  ? PortActive::kYes
         : text == "No" ? PortActive::kNo
                        : PortActive::kUnavailable;
}

}  // namespace

void QV_MainForm::ShowServiceRows() {
  auto& view = deps_.view;
  ports_.Clear();
  for (int n = 1; n <= kPortRows; ++n) ports_.AddRow(n);
  view.SetSelectedRow(1);
  ResizeListColumns();
  std::weak_ptr<char> alive = alive_;
  deps_.service->Watch(ServiceLink::Listener{[this, alive](const ServiceRow& row) {
                                               if (!alive.expired()) OnServiceRow(row);
                                             },
                                             [this, alive](const ServiceSettings& settings) {
                                               if (!alive.expired()) OnServiceSettings(settings);
                                             },
                                             [this, alive](bool up, const std::string& why) {
                                               if (!alive.expired()) OnServiceAvailability(up, why);
                                             }});
  view.SetWindowEnabled(true);
  ClientControls();
  SetFocusSafe(Control::lvwMessages);
  deps_.messages.ShowMessage(kServiceOwnsPortsText, MessageButtons::kOk, QV_SYS_Message::kOk,
                             MessageIconCode::kInformation, "", "", 0);
}

void QV_MainForm::OnServiceRow(const ServiceRow& row) {
  const int n = row.port;
  if (!ports_.HasRow(n) || row.active.empty()) return;  // a row the service has not filled
  const PortActive active = ActiveOf(row.active);
  ports_.SetActive(n, active);
  ports_.SetDevice(
      n, PortDevice{row.detected, row.settings, row.device, row.sn, KindOfModel(row.device)});
  ports_.SetCell(n, kColStatus, row.status);
  ports_.SetCell(n, kColStatusTime, row.statusTime);
  ports_.SetColour(n, active != PortActive::kYes ? kGrey : row.detected ? kGreen : kDarkRed);
  if (n == SelectedPort()) UpdateActionButtons();
}

void QV_MainForm::OnServiceSettings(const ServiceSettings& settings) {
  auto& view = deps_.view;
  auto& config = deps_.config;
  // Held for the window's decisions only: the service keeps them, not this user's settings.
  config.ConnectionMode = static_cast<std::int16_t>(settings.mode);
  config.UsedComPorts = static_cast<std::int32_t>(settings.activePorts);
  config.UpdateInterval = static_cast<std::int16_t>(settings.interval);
  config.PushOnTimeChange = settings.pushOnTimeChange;
  config.VerifyWrites = settings.verifyWrites;
  view.SetModeListIndex(EffectiveMode() != kModeNone ? EffectiveMode() - 1 : -1);
  view.SetIntervalText(ZeroPad(config.UpdateInterval, view.IntervalMaxLength()));
  if (view.WindowEnabled()) ClientControls();
}

void QV_MainForm::OnServiceAvailability(bool up, const std::string& why) {
  serviceUp_ = up;
  if (deps_.view.WindowEnabled()) ClientControls();
  if (!up) {
    deps_.messages.ShowMessage(std::string(kServiceGoneText) + " (" + why + ").",
                               MessageButtons::kOk, QV_SYS_Message::kOk,
                               MessageIconCode::kExclamation, "", "", 0);
  }
}

void QV_MainForm::ClientControls() {
  auto& view = deps_.view;
  if (!serviceUp_) {
    // The rows stay as the service last reported them; only leaving makes sense.
    EnableControls(false);
    view.SetControlEnabled(Control::cmdClose, true);
    view.SetControlEnabled(Control::cmdHide, true);
    return;
  }
  if (view.ModeListIndex() < 0) {
    EnableControls(false);
    view.SetControlEnabled(Control::cmdClose, true);
    view.SetControlEnabled(Control::lbl_Mode, true);
    view.SetControlEnabled(Control::cmb_Mode, true);
    return;
  }
  EnableControls(true);
  UpdateActionButtons();
}

void QV_MainForm::AskService(const ServiceRequest& request) {
  LockWindow(true);
  std::weak_ptr<char> alive = alive_;
  deps_.service->Ask(request, [this, alive](const std::string& problem) {
    if (alive.expired() || terminated_) return;
    deps_.view.SetWindowEnabled(true);
    userBusy_ = false;
    ClientControls();
    if (!problem.empty()) {
      // What the service has stays shown: the mode list and the interval go back to it.
      deps_.view.SetModeListIndex(EffectiveMode() != kModeNone ? EffectiveMode() - 1 : -1);
      deps_.view.SetIntervalText(
          ZeroPad(deps_.config.UpdateInterval, deps_.view.IntervalMaxLength()));
      deps_.messages.ShowMessage(std::string(kServiceRefusedText) + problem, MessageButtons::kOk,
                                 QV_SYS_Message::kOk, MessageIconCode::kExclamation, "", "", 0);
    }
    SetFocusSafe(Control::lvwMessages);
  });
}

}  // namespace horalign
