// The command that shows and changes the synchronization settings: config.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/service_calls.h"
#include "cli/system.h"
#include "core/settings/app_config.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"
#include "core/ui/main_form.h"
#include "core/util/json_text.h"
#include "service/service_main.h"

namespace horalign {
namespace {

std::string ModeName(int mode) {
  switch (mode) {
    case kModeDeviceFromPc:
      return "Synchronize Device Time to PC Time";
    case kModePcFromDevice:
      return "Synchronize PC Time to Device Time (Single COM Port)";
    default:
      return "none";
  }
}

// The settings as the service has them, or as the file does.
std::optional<ServiceSettingsRead> SettingsNow(RunningService* service, RegistryStore& store,
                                               const std::string& settingsPath) {
  if (service != nullptr) return service->Settings();
  AppConfig config;
  LoadConfig(store, config);
  return ServiceSettingsRead{
      config.ConnectionMode, PortsOfMask(static_cast<std::uint32_t>(config.UsedComPorts)),
      config.UpdateInterval, config.PushOnTimeChange,
      config.VerifyWrites,   settingsPath};
}

// The hold and the time daemon's feed as the service has them, or as the file does.
struct Hold {
  bool on = false;
  double bound = kDefaultMaxClockError;
  bool feed = false;
  std::string socket = kDefaultTimeDaemonSocket;
};
Hold HoldNow(RunningService* service, RegistryStore& store) {
  if (service != nullptr) {
    const Answer a = service->Call(MakeRequest(RequestKind::kGetPcClock));
    if (!a.pcClock) return Hold{};
    const PcClockRead& c = *a.pcClock;
    return Hold{c.holdOn, c.maxClockError, c.feedOn, c.feedSocket};
  }
  AppConfig config;
  LoadConfig(store, config);
  return Hold{config.PushOnlyWhenSynchronized, config.MaxClockErrorSeconds, config.FeedTimeDaemon,
              config.TimeDaemonSocket};
}

int ShowConfig(const CliOptions& options, const ServiceSettingsRead& s, const Hold& hold) {
  Json names = Json::array();
  std::string list;
  for (int port : s.active) {
    names.push_back(ComName(port));
    list += (list.empty() ? "" : " ") + ComName(port);
  }
  if (options.json) {
    PrintJson(Json{{"settings", s.path},
                   {"mode", s.mode},
                   {"mode_name", ModeName(s.mode)},
                   {"active", std::move(names)},
                   {"interval_min", s.interval},
                   {"push_only_when_synchronized", hold.on},
                   {"maximum_clock_error_s", hold.bound},
                   {"feed_time_daemon", hold.feed},
                   {"time_daemon_socket", hold.socket}});
    return kExitOk;
  }
  Print("settings  " + s.path + "\n");
  Print("mode      " + std::to_string(s.mode) + " (" + ModeName(s.mode) + ")\n");
  Print("active    " + (list.empty() ? std::string("none") : list) + "\n");
  Print("interval  " + std::to_string(s.interval) + " minutes\n");
  char bound[40];
  std::snprintf(bound, sizeof bound, "%g", hold.bound);
  Print(std::string("hold      ") + (hold.on ? "on" : "off") + ", max. error " + bound + " s\n");
  Print(std::string("feed      ") + (hold.feed ? "on" : "off") + ", socket " + hold.socket + "\n");
  return kExitOk;
}

}  // namespace

int StoreSettings(RunningService* service, RegistryStore& store, const std::string& settingsPath,
                  const char* key, const std::vector<std::pair<std::string, std::string>>& values) {
  if (service != nullptr) return ChangeThroughService(*service, key, values);
  for (const auto& [name, text] : values) {
    if (!store.SetString(key, name, text)) {
      Complain("cannot write " + settingsPath);
      return kExitSettings;
    }
  }
  SettingsWritten(settingsPath);
  return kExitOk;
}

int ConfigCommand(const CliOptions& options, const std::string& settingsPath) {
  const std::unique_ptr<RunningService> service = ServiceOfSettings(options, settingsPath);
  const bool usable = service != nullptr || CheckSettingsFile(settingsPath);
  const std::unique_ptr<RegistryStore> settings = OpenSettings(settingsPath);
  RegistryStore& store = *settings;
  const std::optional<ServiceSettingsRead> now = SettingsNow(service.get(), store, settingsPath);
  if (!now) return kExitFailed;
  if (options.args.empty()) return ShowConfig(options, *now, HoldNow(service.get(), store));
  if (!usable) return kExitSettings;
  const std::string& what = options.args[0];
  const std::vector<std::string> rest(options.args.begin() + 1, options.args.end());
  std::vector<std::pair<std::string, std::string>> values;
  if (what == "mode" && rest.size() == 1 && (rest[0] == "0" || rest[0] == "1" || rest[0] == "2")) {
    // As in the window: a new mode starts with no port active.
    values = {{kValueConnectionMode, rest[0]}, {kValueUsedComPorts, "0"}};
  } else if (what == "interval" && rest.size() == 1) {
    const auto minutes = WholeNumber(rest[0]);
    if (!minutes || *minutes < kMinUpdateInterval || *minutes > kMaxUpdateInterval ||
        *minutes != static_cast<int>(*minutes)) {
      Complain(kIntervalText);
      return kExitUsage;
    }
    values = {{kValueUpdateInterval, std::to_string(static_cast<int>(*minutes))}};
  } else if (what == "active" && !rest.empty()) {
    std::uint32_t mask = 0;
    for (const std::string& name : rest) {
      const auto port = ParsePortName(name);
      if (!port && !(name == "none" && rest.size() == 1)) {
        Complain("not a port: " + name + " (COM1 to COM16, or none)");
        return kExitUsage;
      }
      if (port) mask |= PortBit(*port);
    }
    if (now->mode == kModePcFromDevice && PortsOfMask(mask).size() > 1) {
      Complain(kOneSourceText);
      return kExitUsage;
    }
    values = {{kValueUsedComPorts, std::to_string(mask)}};
  } else if (what == "hold" && rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
    values = {{kValuePushOnlyWhenSynchronized, rest[0] == "on" ? "1" : "0"}};
  } else if (what == "max-error" && rest.size() == 1) {
    const auto seconds = WholeNumber(rest[0]);
    if (!seconds || !(*seconds > 0) || !std::isfinite(*seconds)) {
      Complain(kMaxClockErrorText);
      return kExitUsage;
    }
    values = {{kValueMaximumClockError, rest[0]}};
  } else if (what == "feed" && rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
    values = {{kValueFeedTimeDaemon, rest[0] == "on" ? "1" : "0"}};
  } else if (what == "socket" && rest.size() == 1) {
    if (!IsTimeDaemonSocketPath(rest[0])) {
      Complain(kTimeDaemonSocketText);
      return kExitUsage;
    }
    values = {{kValueTimeDaemonSocket, rest[0]}};
  } else {
    Complain(
        "config takes: mode 0|1|2, active COMn ... | none, interval MINUTES, hold on|off, "
        "max-error SECONDS, feed on|off, or socket PATH");
    return kExitUsage;
  }
  if (const int code = StoreSettings(service.get(), store, settingsPath, kConfigKey, values);
      code != kExitOk)
    return code;
  const std::optional<ServiceSettingsRead> after = SettingsNow(service.get(), store, settingsPath);
  return after ? ShowConfig(options, *after, HoldNow(service.get(), store)) : kExitFailed;
}

}  // namespace horalign
