#include "service/service_state.h"

#include <limits>

#include "core/settings/com_ports.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

double OrNan(const std::optional<double>& value) {
  return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

void ServiceState::Refresh() {
  if (s_.app.MainForm() == nullptr) return;
  for (int port = 1; port <= kComPortCount; ++port) rows_[Index(port)] = TakeRow(port);
  TakeDevices();
  TakeSettings();
}

void ServiceState::RefreshRow(int port) {
  if (s_.app.MainForm() == nullptr || !IsComPort(port)) return;
  rows_[Index(port)] = TakeRow(port);
  TakeDevices();
}

ServiceRow ServiceState::TakeRow(int port) {
  const PortListModel& rows = s_.app.MainForm()->Ports();
  const PortDevice device = rows.Device(port);
  return ServiceRow{port,
                    s_.portPath(port),
                    rows.Cell(port, kColActive),
                    rows.Cell(port, kColStatus),
                    rows.Cell(port, kColStatusTime),
                    rows.Cell(port, kColDevice),
                    rows.Cell(port, kColSerial),
                    rows.Cell(port, kColSettings),
                    device.detected && !rows.Undetected(port)};
}

void ServiceState::TakeDevices() {
  QV_MainForm& form = *s_.app.MainForm();
  devices_.clear();
  for (int port = 1; port <= kComPortCount; ++port) {
    const PortDevice device = form.Ports().Device(port);
    if (!device.detected || form.Ports().Undetected(port) || device.model.empty()) continue;
    DeviceFigures f = s_.metrics.Figures(port);
    if (f.model != device.model || f.serial != device.serial) f = {};
    devices_.push_back(ServiceDevice{
        port, device.model, device.serial, f.lastSuccessUtcMs, OrNan(f.lastOffset),
        OrNan(form.Sync().Drift().DriftPerDay(device.model, device.serial)), f.failedUpdates});
  }
}

void ServiceState::TakeSettings() {
  const AppConfig& c = s_.app.Config();
  settings_ =
      ServiceSettingsRead{c.ConnectionMode, PortsOfMask(static_cast<std::uint32_t>(c.UsedComPorts)),
                          c.UpdateInterval, c.PushOnTimeChange,
                          c.VerifyWrites,   s_.settingsName};
}

// As the form last read it (at least once a minute), so it is never older than that.
PcClockRead ServiceState::TakePcClock() const {
  PcClockRead out;
  QV_MainForm* form = s_.app.MainForm();
  if (form == nullptr) return out;
  const PcClockSyncInfo& info = form->PcClock();
  const AppConfig& c = s_.app.Config();
  out.state = ClockStateName(info.state);
  out.maxError = OrNan(info.maxErrorSeconds);
  out.estError = OrNan(info.estErrorSeconds);
  out.source = info.source;
  out.holdOn = c.PushOnlyWhenSynchronized;
  out.maxClockError = c.MaxClockErrorSeconds;
  out.held = HoldText(HoldReasonOf(c, info));
  out.feedAvailable = form->Sync().FeedAvailable();
  out.feedOn = c.FeedTimeDaemon;
  out.feedSocket = c.TimeDaemonSocket;
  out.feedSent = form->Sync().FeedCounted().sent;
  out.feedRefused = form->Sync().FeedCounted().refused;
  return out;
}

Answer ServiceState::Read(RequestKind kind) const {
  Answer answer;
  if (kind == RequestKind::kGetPorts || kind == RequestKind::kWatch) {
    answer.rows.assign(rows_.begin(), rows_.end());
  }
  if (kind == RequestKind::kGetDevices) answer.devices = devices_;
  if (kind == RequestKind::kGetSettings || kind == RequestKind::kWatch) answer.settings = settings_;
  if (kind == RequestKind::kGetPcClock) answer.pcClock = TakePcClock();
  return answer;
}

}  // namespace horalign
