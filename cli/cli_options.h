#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace horalign {

// What the process returns; documented in CliUsage() and the manual page.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,    // a device did not answer, or did not take the time
  kExitUsage = 2,     // the command line is wrong
  kExitPort = 3,      // a port could not be opened (missing, no permission, in use)
  kExitSettings = 4,  // the settings file could not be written
  kExitRunning = 5,   // run: another Horalign holds the instance slot
  kExitClock = 6,     // read --set-pc: the PC clock could not be set
  kExitRefused = 7,   // the service refused: polkit did not allow the caller
};

struct CliOptions {
  std::string command;            // scan, update, read, map, unmap, config, run, status
  std::vector<std::string> args;  // the command's operands
  std::string configPath;         // --config; "" for the default rules
  bool system = false;            // --system: the service's settings file
  bool json = false;
  bool openMetrics = false;  // status --openmetrics
  bool verbose = false;
  bool setPc = false;
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

// "COM3", "com3" or "3" gives 3; nullopt for anything but 1..16.
std::optional<int> ParsePortName(std::string_view text);

// The settings file: --config, else with --system the service's file, else
// $STATE_DIRECTORY/Horalign.reg (as systemd sets it for the service), else the desktop
// program's file.
std::string SettingsPathFor(const CliOptions& options);

// The service's settings file, in the state directory systemd gives it.
inline constexpr const char* kSystemSettingsPath = "/var/lib/horalign/Horalign.reg";

std::string CliUsage();

}  // namespace horalign
