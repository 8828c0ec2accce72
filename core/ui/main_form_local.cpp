// The window acting on the ports itself: it opens them, connects and writes the devices, shows
// the loading message while it scans, and keeps this user's settings.
#include <string>

#include "core/settings/registry.h"
#include "core/ui/main_form.h"

namespace horalign {
namespace {

constexpr const char* kLoadingText = "Loading COM ports and detecting devices. Please wait...";

}  // namespace

class QV_MainForm::LocalActions final : public PortActions {
 public:
  explicit LocalActions(QV_MainForm& form) : form_(form), deps_(form.deps_) {}

  void Load() override;
  void Update() override;
  void Rescan() override;
  void Activate(int port) override;
  void Deactivate(int port) override;
  void SetMode(int mode) override;
  void SetInterval(std::int16_t minutes) override;
  bool KeepsSchedule() const override { return true; }

 private:
  QV_MainForm& form_;
  ProgramParts& deps_;
};

std::unique_ptr<PortActions> QV_MainForm::MakeLocalActions() {
  return std::make_unique<LocalActions>(*this);
}

void QV_MainForm::LocalActions::Load() {
  auto& view = deps_.view;
  view.SetWindowEnabled(false);
  form_.EnableControls(false);
  deps_.loading.ShowLoadMessage(kLoadingText);
  deps_.loop.ProcessPending();
  form_.RefreshPortList();
  deps_.loading.Unload();
  deps_.loop.ProcessPending();
  view.SetWindowEnabled(true);
  form_.SetFocusSafe(Control::lvwMessages);
  if (form_.terminated_) return;
  form_.ShowStartNotices();
}

void QV_MainForm::LocalActions::Update() {
  auto& ports = form_.ports_;
  if (!form_.ConfirmHeldWrite()) return;
  form_.LockWindow(true);
  deps_.loop.ProcessPending();
  const int row = deps_.view.SelectedRow();
  if (ports.HasRow(row) && ports.Active(row) == PortActive::kYes) {
    const auto port = static_cast<std::int16_t>(ports.Port(row));
    if (form_.EffectiveMode() == kModePcFromDevice) {
      form_.sync_.ReadTime(port);
    } else if (form_.EffectiveMode() == kModeDeviceFromPc) {
      form_.sync_.WriteTime(port);
    }
  }
  if (form_.terminated_) return;
  deps_.view.SetWindowEnabled(true);
  form_.EnableControls(true);
  form_.UpdateActionButtons();
  deps_.loop.ProcessPending();
  form_.userBusy_ = false;
  form_.SetFocusSafe(Control::lvwMessages);
}

void QV_MainForm::LocalActions::Rescan() {
  form_.LockWindow(true);
  deps_.loading.ShowLoadMessage(kLoadingText);
  deps_.loop.ProcessPending();
  form_.RefreshPortList();
  deps_.loading.Unload();
  deps_.loop.ProcessPending();
  deps_.view.SetWindowEnabled(true);
  form_.EnableControls(true);
  form_.userBusy_ = false;
  form_.SetFocusSafe(Control::lvwMessages);
}

void QV_MainForm::LocalActions::Activate(int port) {
  form_.LockWindow(true);
  deps_.loop.ProcessPending();
  form_.connection_.ConnectDevice(static_cast<std::int16_t>(port));
  form_.SaveUsedPorts();
  deps_.loop.ProcessPending();
  deps_.view.SetWindowEnabled(true);
  form_.EnableControls(true);
  form_.UpdateActionButtons();
  form_.userBusy_ = false;
  form_.SetFocusSafe(Control::lvwMessages);
}

// Unlike Activate, the control group stays as it is: only the window is disabled meanwhile.
void QV_MainForm::LocalActions::Deactivate(int port) {
  form_.userBusy_ = true;
  deps_.view.SetWindowEnabled(false);
  deps_.loop.ProcessPending();
  form_.connection_.DisconnectDevice(static_cast<std::int16_t>(port));
  form_.SaveUsedPorts();
  deps_.loop.ProcessPending();
  deps_.view.SetWindowEnabled(true);
  form_.userBusy_ = false;
  form_.SetFocusSafe(Control::lvwMessages);
}

void QV_MainForm::LocalActions::SetMode(int mode) {
  auto& view = deps_.view;
  form_.EnableControls(false);
  view.SetWindowEnabled(false);
  deps_.loading.ShowLoadMessage(kLoadingText);
  deps_.loop.ProcessPending();
  deps_.config.ConnectionMode = static_cast<std::int16_t>(mode);
  SaveRegSetting(deps_.registry, kConfigKey, kValueConnectionMode, RegKind::kString,
                 std::to_string(mode));
  deps_.config.UsedComPorts = 0;
  SaveRegSetting(deps_.registry, kConfigKey, kValueUsedComPorts, RegKind::kString, "0");
  form_.RefreshPortList();
  deps_.loading.Unload();
  deps_.loop.ProcessPending();
  view.SetWindowEnabled(true);
  form_.EnableControls(true);
  form_.SetFocusSafe(Control::lvwMessages);
}

void QV_MainForm::LocalActions::SetInterval(std::int16_t minutes) {
  deps_.config.UpdateInterval = minutes;
  SaveRegSetting(deps_.registry, kConfigKey, kValueUpdateInterval, RegKind::kString,
                 std::to_string(minutes));
}

}  // namespace horalign
