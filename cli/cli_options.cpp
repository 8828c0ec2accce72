#include "cli/cli_options.h"

#include <algorithm>
#include <cstdlib>

#include "platform/posix/reg_file_store.h"

namespace horalign {
namespace {

constexpr std::string_view kCommands[] = {"scan",  "update", "read", "map",
                                          "unmap", "config", "run"};

// The operands each command takes: at least, at most (-1: any number).
std::pair<int, int> OperandCount(std::string_view command) {
  if (command == "read" || command == "unmap") return {1, 1};
  if (command == "map") return {0, 2};
  if (command == "run") return {0, 0};
  return {0, -1};
}

}  // namespace

std::optional<int> ParsePortName(std::string_view text) {
  if (text.size() > 3 && (text.substr(0, 3) == "COM" || text.substr(0, 3) == "com")) {
    text.remove_prefix(3);
  }
  if (text.empty() || text.size() > 2 || text[0] == '0') return std::nullopt;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 16) return std::nullopt;
  return n;
}

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
      } else if (a == "--verbose" || a == "-v") {
        o.verbose = true;
      } else if (a == "--system") {
        o.system = true;
      } else if (a == "--set-pc") {
        o.setPc = true;
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
  return {o, ""};
}

std::string SettingsPathFor(const CliOptions& options) {
  if (!options.configPath.empty()) return options.configPath;
  if (options.system) return kSystemSettingsPath;
  // systemd lists the unit's state directories separated by colons; the first is ours.
  if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && state[0] == '/') {
    const std::string_view dirs(state);
    return std::string(dirs.substr(0, dirs.find(':'))) + "/Horalign.reg";
  }
  return RegFileStore::DefaultPath();
}

std::string CliUsage() {
  return R"(Usage: horalign-cli [OPTIONS] COMMAND [OPERANDS]

Keeps the clocks of serial-attached devices in step with this PC, without a window.
COM1 to COM16 are the device paths of the settings file's Ports key (default /dev/ttyS0
to /dev/ttyS15).

Commands:
  scan [COMn ...]      probe the ports (default all 16): path, open or not, device model,
                       serial number and the line settings it answered at
  update [COMn ...]    write the PC time to the devices now (default: the active ports);
                       per port the outcome, the status text and how many ms past the
                       second the time command started
  read COMn [--set-pc] read the time of a device that answers "QT" and show its offset
                       from the PC clock; --set-pc then sets the PC clock from it
  map [COMn [PATH]]    show the port paths and the USB adapters found, or map COMn to PATH
  unmap COMn           COMn back to its default path
  config [mode 0|1|2 | active COMn ... | active none | interval MINUTES]
                       show or change the synchronization settings: mode 1 writes the PC
                       time to the active devices, mode 2 sets the PC clock from the one
                       active device; a new mode deactivates every port, as in the window
  run                  the service in the foreground: connect the active ports and run the
                       update schedule; every change of a port is one line on standard
                       error; SIGTERM or SIGINT ends it in order

Options:
  --config FILE   the settings file (default: $STATE_DIRECTORY/Horalign.reg when systemd
                  sets it, else the desktop program's $XDG_CONFIG_HOME/Quorvane/Horalign.reg)
  --system        the service's settings file, /var/lib/horalign/Horalign.reg
  --json          print the result as JSON
  -v, --verbose   log every change of a port row to standard error (always on for run)
  -h, --help      show this text
  --version       show the version

Exit status:
  0  done
  1  a device did not answer, or did not take the time
  2  the command line is wrong
  3  a port could not be opened: missing, no permission, or in use (the holder is named)
  4  the settings file could not be written
  5  run: another Horalign runs with the same instance lock
  6  read --set-pc: the PC clock could not be set
)";
}

}  // namespace horalign
