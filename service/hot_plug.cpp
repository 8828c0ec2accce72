#include "service/hot_plug.h"

#include "core/settings/com_ports.h"
#include "core/ui/main_form.h"
#include "core/ui/port_list.h"
#include "service/headless_views.h"

namespace horalign {

void HotPlug::Check() {
  if (p_.app.MainForm() == nullptr) return;
  const auto active = static_cast<std::uint32_t>(p_.app.Config().UsedComPorts);
  for (int port = 1; port <= kComPortCount; ++port) {
    bool& gone = gone_[static_cast<std::size_t>(port - 1)];
    if ((active & PortBit(port)) == 0) {
      gone = false;  // no longer the service's to watch
      continue;
    }
    const std::string path = p_.portPath(port);
    const bool here = p_.present(path);
    if (!here && !gone) Unplugged(port, path);
    if (here && gone) PluggedBack(port, path);
    gone = !here;
  }
}

void HotPlug::Unplugged(int port, const std::string& path) {
  if (p_.log) {
    p_.log(LogLevel::kWarning, "port=" + ComName(port) + " unplugged=" + LogValue(path));
  }
  p_.control.TakeOwnWork([this, port] {
    QV_MainForm& form = *p_.app.MainForm();
    clsSerialCommAPI& serial = p_.app.SerialPort();
    if (serial.CommPort() == port && serial.PortOpen()) serial.SetPortOpen(false);
    form.Connection().MarkPortUnavailable(static_cast<std::int16_t>(port));
  });
}

void HotPlug::PluggedBack(int port, const std::string& path) {
  if (p_.log) p_.log(LogLevel::kInfo, "port=" + ComName(port) + " back=" + LogValue(path));
  p_.control.TakeOwnWork([this, port] {
    QV_MainForm& form = *p_.app.MainForm();
    const auto id = static_cast<std::int16_t>(port);
    // It may have lost its time while it was away: written at once, as an update would
    // (in mode 1; in mode 2 it is the time source, and is read as it sends).
    if (form.Connection().ConnectDevice(id) && form.Ports().Active(port) == PortActive::kYes &&
        p_.app.Config().ConnectionMode == kModeDeviceFromPc) {
      form.Sync().WriteTime(id, false);
    }
  });
}

}  // namespace horalign
