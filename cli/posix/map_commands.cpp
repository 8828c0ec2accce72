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
#include "cli/service_calls.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"
#include "core/util/json_text.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "service/service_main.h"

namespace horalign {
namespace {

constexpr const char* kByIdFolder = "/dev/serial/by-id";

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

Json AdaptersJson() {
  Json items = Json::array();
  for (const auto& [byId, device] : UsbAdapters()) {
    items.push_back(Json{{"path", byId}, {"device", device}});
  }
  return items;
}

// The device path COM `port` stands for: as the running service has it, or as the file does.
std::string PathOf(RunningService* service, RegistryStore& store, int port) {
  if (service != nullptr) {
    for (const ServiceRow& row : service->Call(MakeRequest(RequestKind::kGetPorts)).rows) {
      if (row.port == port) return row.path;
    }
  }
  return PortPathFromRegistry(store, port);
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
  const std::unique_ptr<RunningService> service = ServiceOfSettings(options, settingsPath);
  const bool usable = service != nullptr || CheckSettingsFile(settingsPath);
  RegFileStore store(settingsPath);
  if (options.args.size() == 2) {
    if (!usable) return kExitSettings;
    const int port = *ParsePortName(options.args[0]);
    const std::string& path = options.args[1];
    if (const int code =
            StoreSettings(service.get(), store, settingsPath, kPortsKey, {{ComName(port), path}});
        code != kExitOk)
      return code;
    // A stable name for the same adapter, when the path is not one already.
    std::string suggestion;
    const std::string device = RealPath(path);
    for (const auto& [byId, target] : UsbAdapters()) {
      if (!device.empty() && target == device && path != byId) suggestion = byId;
    }
    if (options.json) {
      PrintJson(Json{{"port", ComName(port)},
                     {"path", path},
                     {"exists", Exists(path)},
                     {"suggestion", suggestion.empty() ? Json(nullptr) : Json(suggestion)}});
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
  Json items = Json::array();
  for (int port : ports) {
    const std::string path = PathOf(service.get(), store, port);
    const bool mapped = path != "/dev/ttyS" + std::to_string(port - 1);
    if (options.json) {
      items.push_back(Json{
          {"port", ComName(port)}, {"path", path}, {"mapped", mapped}, {"exists", Exists(path)}});
    } else {
      std::string name = ComName(port);
      name.resize(7, ' ');
      Print(name + path + (mapped ? "" : "  (default)") + (Exists(path) ? "" : "  (missing)") +
            "\n");
    }
  }
  if (options.json) {
    PrintJson(Json{{"ports", std::move(items)}, {"adapters", AdaptersJson()}});
  } else {
    PrintAdapters();
  }
  return kExitOk;
}

int UnmapCommand(const CliOptions& options, const std::string& settingsPath) {
  const std::unique_ptr<RunningService> service = ServiceOfSettings(options, settingsPath);
  if (service == nullptr && !CheckSettingsFile(settingsPath)) return kExitSettings;
  RegFileStore store(settingsPath);
  const int port = *ParsePortName(options.args[0]);
  // A blank value reads as no mapping: the port is back on its default path.
  if (const int code =
          StoreSettings(service.get(), store, settingsPath, kPortsKey, {{ComName(port), ""}});
      code != kExitOk)
    return code;
  const std::string path = PathOf(service.get(), store, port);
  if (options.json) {
    PrintJson(Json{{"port", ComName(port)}, {"path", path}});
  } else {
    Print(ComName(port) + " -> " + path + " (default)\n");
  }
  return kExitOk;
}

}  // namespace horalign
