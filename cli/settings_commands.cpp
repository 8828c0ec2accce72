// The commands that edit the settings file: map, unmap and config.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/json_text.h"
#include "core/app/app_config.h"
#include "core/app/registry.h"
#include "core/ui/main_form.h"
#include "core/ui/port_list.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"

namespace horalign {
namespace {

constexpr const char* kByIdFolder = "/dev/serial/by-id";
constexpr int kMinInterval = 60;
constexpr int kMaxInterval = 9999;

std::string ComName(int port) {
  return "COM" + std::to_string(port);
}

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// The stable names of the USB serial adapters on this machine, with the device each names.
std::vector<std::pair<std::string, std::string>> UsbAdapters() {
  std::vector<std::pair<std::string, std::string>> found;
  if (DIR* dir = ::opendir(kByIdFolder)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const std::string path = std::string(kByIdFolder) + "/" + entry->d_name;
      found.emplace_back(path, RealPath(path));
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A file written by root in a folder that belongs to the service's user goes to that user,
// so the service can still read and write it.
void HandToFolderOwner(const std::string& path) {
  const auto slash = path.rfind('/');
  if (::geteuid() != 0 || slash == std::string::npos || slash == 0) return;
  struct stat info {};
  if (::stat(path.substr(0, slash).c_str(), &info) != 0 || info.st_uid == 0) return;
  for (const std::string& file : {path, path + ".lock"}) {
    (void)!::chown(file.c_str(), info.st_uid, info.st_gid);
  }
}

// Writes the values in order; false, with a word on standard error, at the first refusal.
bool Store(RegFileStore& store, const char* key,
           const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, text] : values) {
    if (!store.SetString(key, name, text)) {
      Complain("cannot write " + store.Path());
      return false;
    }
  }
  HandToFolderOwner(store.Path());
  return true;
}

std::string AdaptersJson() {
  std::vector<std::string> items;
  for (const auto& [byId, device] : UsbAdapters()) {
    items.push_back(JsonObject().Add("path", byId).Add("device", device).Text());
  }
  return JsonArray(items);
}

void PrintAdapters() {
  const auto adapters = UsbAdapters();
  if (adapters.empty()) {
    Print("USB serial adapters: none found under " + std::string(kByIdFolder) + "\n");
    return;
  }
  Print("USB serial adapters (their names survive re-plugging):\n");
  for (const auto& [byId, device] : adapters) Print("  " + byId + " -> " + device + "\n");
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

int ShowConfig(const CliOptions& options, RegFileStore& store) {
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
              .Add("settings", store.Path())
              .Add("mode", int{config.ConnectionMode})
              .Add("mode_name", ModeName(config.ConnectionMode))
              .Raw("active", JsonArray(names))
              .Add("interval_min", int{config.UpdateInterval})
              .Text() +
          "\n");
    return kExitOk;
  }
  Print("settings  " + store.Path() + "\n");
  Print("mode      " + std::to_string(config.ConnectionMode) + " (" +
        ModeName(config.ConnectionMode) + ")\n");
  Print("active    " + (list.empty() ? std::string("none") : list) + "\n");
  Print("interval  " + std::to_string(config.UpdateInterval) + " minutes\n");
  return kExitOk;
}

}  // namespace

int MapCommand(const CliOptions& options, const std::string& settingsPath) {
  const bool usable = CheckSettingsFile(settingsPath);
  RegFileStore store(settingsPath);
  if (options.args.size() == 2) {
    if (!usable) return kExitSettings;
    const int port = *ParsePortName(options.args[0]);
    const std::string& path = options.args[1];
    if (!Store(store, kPortsKey, {{ComName(port), path}})) return kExitSettings;
    // A stable name for the same adapter, when the path is not one already.
    std::string suggestion;
    const std::string device = RealPath(path);
    for (const auto& [byId, target] : UsbAdapters()) {
      if (!device.empty() && target == device && path != byId) suggestion = byId;
    }
    if (options.json) {
      JsonObject o;
      o.Add("port", ComName(port)).Add("path", path).Add("exists", Exists(path));
      if (suggestion.empty()) {
        o.Null("suggestion");
      } else {
        o.Add("suggestion", suggestion);
      }
      Print(o.Text() + "\n");
    } else {
      Print(ComName(port) + " -> " + path + "\n");
      if (!Exists(path)) Complain("note: " + path + " does not exist now");
      if (!suggestion.empty()) {
        Complain("note: " + suggestion + " names the same adapter and survives re-plugging");
      }
    }
    return kExitOk;
  }
  std::vector<int> ports;
  if (options.args.empty()) {
    for (int n = 1; n <= kPortRows; ++n) ports.push_back(n);
  } else {
    ports.push_back(*ParsePortName(options.args[0]));
  }
  std::vector<std::string> items;
  for (int port : ports) {
    const std::string path = PortPathFromRegistry(store, port);
    const bool mapped = path != "/dev/ttyS" + std::to_string(port - 1);
    if (options.json) {
      items.push_back(JsonObject()
                          .Add("port", ComName(port))
                          .Add("path", path)
                          .Add("mapped", mapped)
                          .Add("exists", Exists(path))
                          .Text());
    } else {
      std::string name = ComName(port);
      name.resize(7, ' ');
      Print(name + path + (mapped ? "" : "  (default)") + (Exists(path) ? "" : "  (missing)") +
            "\n");
    }
  }
  if (options.json) {
    Print(JsonObject().Raw("ports", JsonArray(items)).Raw("adapters", AdaptersJson()).Text() +
          "\n");
  } else {
    PrintAdapters();
  }
  return kExitOk;
}

int UnmapCommand(const CliOptions& options, const std::string& settingsPath) {
  if (!CheckSettingsFile(settingsPath)) return kExitSettings;
  RegFileStore store(settingsPath);
  const int port = *ParsePortName(options.args[0]);
  // A blank value reads as no mapping: the port is back on its default path.
  if (!Store(store, kPortsKey, {{ComName(port), ""}})) return kExitSettings;
  const std::string path = PortPathFromRegistry(store, port);
  if (options.json) {
    Print(JsonObject().Add("port", ComName(port)).Add("path", path).Text() + "\n");
  } else {
    Print(ComName(port) + " -> " + path + " (default)\n");
  }
  return kExitOk;
}

int ConfigCommand(const CliOptions& options, const std::string& settingsPath) {
  const bool usable = CheckSettingsFile(settingsPath);
  RegFileStore store(settingsPath);
  if (options.args.empty()) return ShowConfig(options, store);
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
  if (!Store(store, kConfigKey, values)) return kExitSettings;
  return ShowConfig(options, store);
}

}  // namespace horalign
