#include "control/window_requests.h"

#include "core/settings/com_ports.h"

namespace horalign {

Request RequestOf(const ServiceRequest& r) {
  switch (r.kind) {
    case ServiceRequestKind::kUpdate:
      return PortRequest(RequestKind::kUpdate, r.value);
    case ServiceRequestKind::kUpdateForced:
      return PortRequest(RequestKind::kUpdateForced, r.value);
    case ServiceRequestKind::kReadTime:
      return PortRequest(RequestKind::kRead, r.value, true);  // and set the PC clock from it
    case ServiceRequestKind::kRescan:
      return MakeRequest(RequestKind::kRescan);
    case ServiceRequestKind::kSetMode:
      return NumberRequest(RequestKind::kSetMode, r.value);
    case ServiceRequestKind::kSetInterval:
      return NumberRequest(RequestKind::kSetInterval, r.value);
    case ServiceRequestKind::kSetActivePorts: {
      Request request = MakeRequest(RequestKind::kSetActivePorts);
      for (int port : PortsOfMask(static_cast<std::uint32_t>(r.value))) {
        request.ports.push_back(port);
      }
      return request;
    }
  }
  return MakeRequest(RequestKind::kRescan);
}

ServiceSettings WindowSettings(const ServiceSettingsRead& s) {
  ServiceSettings settings;
  settings.mode = s.mode;
  for (int port : s.active) {
    if (IsComPort(port)) settings.activePorts |= PortBit(port);
  }
  settings.interval = s.interval;
  settings.pushOnTimeChange = s.pushOnTimeChange;
  settings.verifyWrites = s.verifyWrites;
  return settings;
}

}  // namespace horalign
