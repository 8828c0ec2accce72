// The time service's settings read as a state; no Windows header, so it reads any store.
#include "core/settings/registry.h"
#include "platform/win32/win32_clock_sync.h"

namespace horalign {
namespace {

constexpr const char* kW32TimeKey = "SYSTEM\\CurrentControlSet\\Services\\W32Time";
constexpr const char* kW32TimeParameters =
    "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr const char* kServiceDisabled = "4";  // the service's Start value

}  // namespace

PcClockSyncInfo ClockSyncFromW32Time(RegistryStore& store) {
  PcClockSyncInfo info;
  const std::string start = QueryRegValue(store, kW32TimeKey, "Start");
  const std::string type = QueryRegValue(store, kW32TimeParameters, "Type");
  if (start == kServiceDisabled || type == "NoSync") {
    info.state = ClockSyncState::kUnsynchronized;
    return info;
  }
  // "time.windows.com,0x9": the server names, without their flags.
  const std::string servers = QueryRegValue(store, kW32TimeParameters, "NtpServer");
  info.source = type == "NT5DS" ? "domain" : servers.substr(0, servers.find(','));
  return info;
}

}  // namespace horalign
