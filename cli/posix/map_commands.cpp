// The commands that map COM numbers to device paths: map and unmap. Windows names its COM
// ports itself, so these are Linux only.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "control/json_text.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"

namespace horalign {
namespace {

constexpr const char* kByIdFolder = "/dev/serial/by-id";

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

}  // namespace

int MapCommand(const CliOptions& options, const std::string& settingsPath) {
  const bool usable = CheckSettingsFile(settingsPath);
  RegFileStore store(settingsPath);
  if (options.args.size() == 2) {
    if (!usable) return kExitSettings;
    const int port = *ParsePortName(options.args[0]);
    const std::string& path = options.args[1];
    if (const int code = StoreSettings(store, settingsPath, kPortsKey, {{ComName(port), path}});
        code != kExitOk)
      return code;
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
  if (const int code = StoreSettings(store, settingsPath, kPortsKey, {{ComName(port), ""}});
      code != kExitOk)
    return code;
  const std::string path = PortPathFromRegistry(store, port);
  if (options.json) {
    Print(JsonObject().Add("port", ComName(port)).Add("path", path).Text() + "\n");
  } else {
    Print(ComName(port) + " -> " + path + " (default)\n");
  }
  return kExitOk;
}

}  // namespace horalign
