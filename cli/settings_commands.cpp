// The command that shows and changes the synchronization settings: config.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/system.h"
#include "control/json_text.h"
#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "core/ui/main_form.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

constexpr int kMinInterval = 60;
constexpr int kMaxInterval = 9999;

std::string ComName(int port) {
  return "COM" + std::to_string(port);
}

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
}

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

std::vector<int> ActivePorts(std::int32_t mask) {
  std::vector<int> ports;
  for (int n = 1; n <= kPortRows; ++n) {
    if (mask & (1 << (n - 1))) ports.push_back(n);
  }
  return ports;
}

int ShowConfig(const CliOptions& options, RegistryStore& store, const std::string& settingsPath) {
  AppConfig config;
  LoadConfig(store, config);
  std::vector<std::string> names;
  std::string list;
  for (int port : ActivePorts(config.UsedComPorts)) {
    names.push_back(JsonString(ComName(port)));
    list += (list.empty() ? "" : " ") + ComName(port);
  }
  if (options.json) {
    Print(JsonObject()
              .Add("settings", settingsPath)
              .Add("mode", int{config.ConnectionMode})
              .Add("mode_name", ModeName(config.ConnectionMode))
              .Raw("active", JsonArray(names))
              .Add("interval_min", int{config.UpdateInterval})
              .Text() +
          "\n");
    return kExitOk;
  }
  Print("settings  " + settingsPath + "\n");
  Print("mode      " + std::to_string(config.ConnectionMode) + " (" +
        ModeName(config.ConnectionMode) + ")\n");
  Print("active    " + (list.empty() ? std::string("none") : list) + "\n");
  Print("interval  " + std::to_string(config.UpdateInterval) + " minutes\n");
  return kExitOk;
}

}  // namespace

int StoreSettings(RegistryStore& store, const std::string& settingsPath, const char* key,
                  const std::vector<std::pair<std::string, std::string>>& values) {
  if (const int code = ChangeThroughService(settingsPath, key, values); code >= 0) return code;
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
  const bool usable = CheckSettingsFile(settingsPath);
  const std::unique_ptr<RegistryStore> settings = OpenSettings(settingsPath);
  RegistryStore& store = *settings;
  if (options.args.empty()) return ShowConfig(options, store, settingsPath);
  if (!usable) return kExitSettings;
  const std::string& what = options.args[0];
  const std::vector<std::string> rest(options.args.begin() + 1, options.args.end());
  std::vector<std::pair<std::string, std::string>> values;
  if (what == "mode" && rest.size() == 1 && (rest[0] == "0" || rest[0] == "1" || rest[0] == "2")) {
    // As in the window: a new mode starts with no port active.
    values = {{kValueConnectionMode, rest[0]}, {kValueUsedComPorts, "0"}};
  } else if (what == "interval" && rest.size() == 1) {
    const auto minutes = WholeNumber(rest[0]);
    if (!minutes || *minutes < kMinInterval || *minutes > kMaxInterval ||
        *minutes != static_cast<int>(*minutes)) {
      Complain("the update interval is a whole number of minutes from 60 to 9999");
      return kExitUsage;
    }
    values = {{kValueUpdateInterval, std::to_string(static_cast<int>(*minutes))}};
  } else if (what == "active" && !rest.empty()) {
    std::int32_t mask = 0;
    for (const std::string& name : rest) {
      const auto port = ParsePortName(name);
      if (!port && !(name == "none" && rest.size() == 1)) {
        Complain("not a port: " + name + " (COM1 to COM16, or none)");
        return kExitUsage;
      }
      if (port) mask |= 1 << (*port - 1);
    }
    AppConfig config;
    LoadConfig(store, config);
    if (config.ConnectionMode == kModePcFromDevice && ActivePorts(mask).size() > 1) {
      Complain("Only one device can be used to synchronize the PC time.");
      return kExitUsage;
    }
    values = {{kValueUsedComPorts, std::to_string(mask)}};
  } else {
    Complain("config takes: mode 0|1|2, active COMn ... | none, or interval MINUTES");
    return kExitUsage;
  }
  if (const int code = StoreSettings(store, settingsPath, kConfigKey, values); code != kExitOk)
    return code;
  return ShowConfig(options, store, settingsPath);
}

}  // namespace horalign
