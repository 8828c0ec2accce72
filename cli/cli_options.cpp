#include "cli/cli_options.h"

#include <algorithm>

#include "control/protocol.h"
#include "core/settings/com_ports.h"

namespace horalign {
namespace {

constexpr std::string_view kCommands[] = {"scan",  "update", "read", "map",
                                          "unmap", "config", "run",  "status"};

// The operands each command takes: at least, at most (-1: any number).
std::pair<int, int> OperandCount(std::string_view command) {
  if (command == "read" || command == "unmap") return {1, 1};
  if (command == "map") return {0, 2};
  if (command == "run" || command == "status") return {0, 0};
  return {0, -1};
}

}  // namespace

CliArgs ParseCliArgs(const std::vector<std::string>& args) {
  CliOptions o;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a.size() > 1 && a[0] == '-') {
      if (a == "--") {
        optionsEnded = true;
      } else if (a == "--help" || a == "-h") {
        o.help = true;
      } else if (a == "--version") {
        o.version = true;
      } else if (a == "--json") {
        o.json = true;
      } else if (a == "--openmetrics") {
        o.openMetrics = true;
      } else if (a == "--verbose" || a == "-v") {
        o.verbose = true;
      } else if (a == "--system") {
        o.system = true;
      } else if (a == "--set-pc") {
        o.setPc = true;
      } else if (a == "--force") {
        o.force = true;
      } else if (a == "--config" || a.starts_with("--config=")) {
        if (a == "--config" && i + 1 >= args.size()) return {std::nullopt, "--config needs a file"};
        o.configPath = a == "--config" ? args[++i] : a.substr(9);
        if (o.configPath.empty()) return {std::nullopt, "--config needs a file"};
      } else {
        return {std::nullopt, "unknown option " + a};
      }
    } else if (o.command.empty()) {
      if (std::find(std::begin(kCommands), std::end(kCommands), a) == std::end(kCommands)) {
        return {std::nullopt, "unknown command " + a};
      }
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  if (o.help || o.version) return {o, ""};
  if (o.command.empty()) return {std::nullopt, "no command given"};
  if (o.system && !o.configPath.empty())
    return {std::nullopt, "--system and --config exclude each other"};
  if (o.setPc && o.command != "read") return {std::nullopt, "--set-pc goes with read"};
  if (o.force && o.command != "update") return {std::nullopt, "--force goes with update"};
  if (o.openMetrics && (o.command != "status" || o.json))
    return {std::nullopt, "--openmetrics goes with status, without --json"};
  const auto [least, most] = OperandCount(o.command);
  const int count = static_cast<int>(o.args.size());
  if (count < least || (most >= 0 && count > most)) {
    return {std::nullopt, "wrong number of operands for " + o.command};
  }
  // Port operands: every one for scan, update, read and unmap, the first one for map.
  const bool portsOnly =
      o.command == "scan" || o.command == "update" || o.command == "read" || o.command == "unmap";
  for (int i = 0; i < count; ++i) {
    if ((portsOnly || (o.command == "map" && i == 0)) && !ParsePortName(o.args[i])) {
      return {std::nullopt, "not a port: " + o.args[i] + " (COM1 to COM16)"};
    }
  }
  if (o.command == "map" && count == 2 && !o.args[1].starts_with("/")) {
    return {std::nullopt, "the device path must be absolute: " + o.args[1]};
  }
  if (o.command == "map" && count == 2 && o.args[1].size() > kMaxPortPath) {
    return {std::nullopt,
            "the device path is longer than " + std::to_string(kMaxPortPath) + " bytes"};
  }
  return {o, ""};
}

}  // namespace horalign
