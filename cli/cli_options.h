#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/exit_codes.h"

namespace horalign {

struct CliOptions {
  std::string command;            // scan, update, read, map, unmap, config, run, status
  std::vector<std::string> args;  // the command's operands
  std::string configPath;         // --config; "" for the default rules
  bool system = false;            // --system: the service's settings file
  bool json = false;
  bool openMetrics = false;  // status --openmetrics
  bool verbose = false;
  bool setPc = false;
  bool force = false;  // update --force: written also while the hold keeps writes back
  bool help = false;
  bool version = false;
};

// Either options or the reason the command line was refused.
struct CliArgs {
  std::optional<CliOptions> options;
  std::string error;
};

// Reads the command line without the program name. Options may stand before or after
// the command; "--" ends them.
CliArgs ParseCliArgs(const std::vector<std::string>& args);

// The settings file: --config, else with --system the service's file, else
// $STATE_DIRECTORY/Horalign.reg (as systemd sets it for the service), else the desktop
// program's file.
std::string SettingsPathFor(const CliOptions& options);

// The service's settings file, in the state directory systemd gives it.
inline constexpr const char* kSystemSettingsPath = "/var/lib/horalign/Horalign.reg";

std::string CliUsage();
// The usage text's lines of scan and update, the same on every system.
inline constexpr const char* kScanAndUpdateUsage =
    R"(  scan [COMn ...]      probe the ports (default all 16): path, open or not, device model,
                       serial number and the line settings it answered at
  update [COMn ...]    write the PC time to the devices now (default: the active ports);
                       per port the outcome, the status text and how many ms past the
                       second the time command started
)";

}  // namespace horalign
