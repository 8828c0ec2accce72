// The window as a client of the service that owns the ports: it shows the service's rows and
// settings as they come and passes the user's actions on. Nothing here opens a port or keeps
// this user's settings.
#include <string>

#include "core/device/model_table.h"
#include "core/settings/com_ports.h"
#include "core/ui/main_form.h"

namespace horalign {
namespace {

PortActive ActiveOf(const std::string& text) {
  return text == "Yes"  ? PortActive::kYes
         : text == "No" ? PortActive::kNo
                        : PortActive::kUnavailable;
}

}  // namespace

class QV_MainForm::ServiceActions final : public PortActions {
 public:
  ServiceActions(QV_MainForm& form, ServiceLink& link)
      : form_(form), deps_(form.deps_), link_(link) {}
  ~ServiceActions() override { link_.Watch({}); }
  ServiceActions(const ServiceActions&) = delete;
  ServiceActions& operator=(const ServiceActions&) = delete;

  void Load() override { ShowServiceRows(); }
  void Update() override;
  void Rescan() override { AskService({ServiceRequestKind::kRescan}); }
  void Activate(int port) override {
    AskService({ServiceRequestKind::kSetActivePorts,
                deps_.config.UsedComPorts | static_cast<std::int32_t>(PortBit(port))});
  }
  void Deactivate(int port) override {
    AskService({ServiceRequestKind::kSetActivePorts,
                deps_.config.UsedComPorts & ~static_cast<std::int32_t>(PortBit(port))});
  }
  void SetMode(int mode) override { AskService({ServiceRequestKind::kSetMode, mode}); }
  // The service has it once it says so (SettingsChanged); a refusal puts the text back.
  void SetInterval(std::int16_t minutes) override {
    AskService({ServiceRequestKind::kSetInterval, minutes});
  }
  // The service counts the minutes and pushes the time itself.
  bool KeepsSchedule() const override { return false; }

 private:
  void ShowServiceRows();
  void OnServiceRow(const ServiceRow& row);
  void OnServiceSettings(const ServiceSettings& settings);
  void OnServiceAvailability(bool up, const std::string& why);
  void ClientControls();
  // Locks the window until the service has answered; a refusal or a failure is told, unless
  // `refused` takes it (returns true).
  using Refused = std::function<bool(const std::string& problem)>;
  void AskService(const ServiceRequest& request, Refused refused = nullptr);

  QV_MainForm& form_;
  ProgramParts& deps_;
  ServiceLink& link_;
  bool serviceUp_ = true;
  // The service's answers come later: those that come after the form has gone are dropped.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

std::unique_ptr<PortActions> QV_MainForm::MakeServiceActions(ServiceLink& link) {
  return std::make_unique<ServiceActions>(*this, link);
}

void QV_MainForm::ServiceActions::Update() {
  const int port = form_.SelectedPort();
  const std::int16_t mode = form_.EffectiveMode();
  if (port == 0 || form_.ports_.Active(port) != PortActive::kYes || mode == kModeNone) return;
  if (mode == kModePcFromDevice) {
    AskService({ServiceRequestKind::kReadTime, port});
    return;
  }
  // The service holds the write back: the window asks, as it does for its own ports, once.
  AskService({ServiceRequestKind::kUpdate, port}, [this, port](const std::string& problem) {
    const HoldReason hold = HoldOfText(problem);
    if (hold == HoldReason::kNone) return false;
    if (deps_.messages.ShowMessage(HoldQuestion(hold), MessageButtons::kYesNo, QV_SYS_Message::kNo,
                                   MessageIconCode::kQuestion, "", "", 0) == QV_SYS_Message::kYes) {
      AskService({ServiceRequestKind::kUpdateForced, port});
    }
    return true;
  });
}

void QV_MainForm::ServiceActions::ShowServiceRows() {
  auto& view = deps_.view;
  auto& ports = form_.ports_;
  ports.Clear();
  for (int n = 1; n <= kPortRows; ++n) ports.AddRow(n);
  view.SetSelectedRow(1);
  form_.ResizeListColumns();
  std::weak_ptr<char> alive = alive_;
  link_.Watch(ServiceLink::Listener{[this, alive](const ServiceRow& row) {
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
  form_.SetFocusSafe(Control::lvwMessages);
  deps_.messages.ShowMessage(kServiceOwnsPortsText, MessageButtons::kOk, QV_SYS_Message::kOk,
                             MessageIconCode::kInformation, "", "", 0);
}

void QV_MainForm::ServiceActions::OnServiceRow(const ServiceRow& row) {
  auto& ports = form_.ports_;
  const int n = row.port;
  if (!ports.HasRow(n) || row.active.empty()) return;  // a row the service has not filled
  const PortActive active = ActiveOf(row.active);
  ports.SetActive(n, active);
  ports.SetDevice(
      n, PortDevice{row.detected, row.settings, row.device, row.sn, KindOfModel(row.device)});
  ports.SetCell(n, kColStatus, row.status);
  ports.SetCell(n, kColStatusTime, row.statusTime);
  ports.SetColour(n, active != PortActive::kYes ? kGrey : row.detected ? kGreen : kDarkRed);
  if (n == form_.SelectedPort()) form_.UpdateActionButtons();
}

void QV_MainForm::ServiceActions::OnServiceSettings(const ServiceSettings& settings) {
  auto& view = deps_.view;
  auto& config = deps_.config;
  // Held for the window's decisions only: the service keeps them, not this user's settings.
  config.ConnectionMode = static_cast<std::int16_t>(settings.mode);
  config.UsedComPorts = static_cast<std::int32_t>(settings.activePorts);
  config.UpdateInterval = static_cast<std::int16_t>(settings.interval);
  config.PushOnTimeChange = settings.pushOnTimeChange;
  config.VerifyWrites = settings.verifyWrites;
  const std::int16_t mode = form_.EffectiveMode();
  view.SetModeListIndex(mode != kModeNone ? mode - 1 : -1);
  view.SetIntervalText(ZeroPad(config.UpdateInterval, view.IntervalMaxLength()));
  if (view.WindowEnabled()) ClientControls();
}

void QV_MainForm::ServiceActions::OnServiceAvailability(bool up, const std::string& why) {
  serviceUp_ = up;
  if (deps_.view.WindowEnabled()) ClientControls();
  if (!up) {
    deps_.messages.ShowMessage(std::string(kServiceGoneText) + " (" + why + ").",
                               MessageButtons::kOk, QV_SYS_Message::kOk,
                               MessageIconCode::kExclamation, "", "", 0);
  }
}

void QV_MainForm::ServiceActions::ClientControls() {
  auto& view = deps_.view;
  if (!serviceUp_) {
    // The rows stay as the service last reported them; only leaving makes sense.
    form_.EnableControls(false);
    view.SetControlEnabled(Control::cmdClose, true);
    view.SetControlEnabled(Control::cmdHide, true);
    return;
  }
  if (view.ModeListIndex() < 0) {
    form_.EnableControls(false);
    view.SetControlEnabled(Control::cmdClose, true);
    view.SetControlEnabled(Control::lbl_Mode, true);
    view.SetControlEnabled(Control::cmb_Mode, true);
    return;
  }
  form_.EnableControls(true);
  form_.UpdateActionButtons();
}

void QV_MainForm::ServiceActions::AskService(const ServiceRequest& request, Refused refused) {
  form_.LockWindow(true);
  std::weak_ptr<char> alive = alive_;
  link_.Ask(request, [this, alive, refused](const std::string& problem) {
    if (alive.expired() || form_.terminated_) return;
    deps_.view.SetWindowEnabled(true);
    form_.userBusy_ = false;
    ClientControls();
    if (!problem.empty() && refused && refused(problem)) return;
    if (!problem.empty()) {
      // What the service has stays shown: the mode list and the interval go back to it.
      const std::int16_t mode = form_.EffectiveMode();
      deps_.view.SetModeListIndex(mode != kModeNone ? mode - 1 : -1);
      deps_.view.SetIntervalText(
          ZeroPad(deps_.config.UpdateInterval, deps_.view.IntervalMaxLength()));
      deps_.messages.ShowMessage(std::string(kServiceRefusedText) + problem, MessageButtons::kOk,
                                 QV_SYS_Message::kOk, MessageIconCode::kExclamation, "", "", 0);
    }
    form_.SetFocusSafe(Control::lvwMessages);
  });
}

}  // namespace horalign
