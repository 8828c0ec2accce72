#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_device.h"

namespace horalign::sim {

// One device of the simulator: the COM number it is mapped to, how it behaves, and when
// its adapter is pulled.
struct DevsimDevice {
  int com = 0;
  SimDeviceConfig config;
  std::optional<double> unplugAfterSeconds{};  // from the start
  std::optional<double> unplugForSeconds{};    // unset: never comes back
};

struct DevsimOptions {
  std::vector<DevsimDevice> devices;
  bool writePorts = false;  // write the Ports mapping into the settings file
  std::string portsFile;    // that file; "" with writePorts: the program's default file
  std::string logPath;      // "": standard output
  std::string historyDir;   // "": no made-up history
  int historyDays = 7;      // how far back it reaches
  bool help = false;
};

// Either options or the reason the command line was refused.
struct DevsimArgs {
  std::optional<DevsimOptions> options;
  std::string error;
};

// Reads one --device text: comma-separated key=value pairs, "com" required, e.g.
// "com=1,letter=W,serial=ABCDE,settings=9600,offset=-3.5,drift=20,fault=late:900".
// nullopt with the reason in `error` for an unknown key or a value out of range.
std::optional<DevsimDevice> ParseDeviceOption(std::string_view desc, std::string& error);

// Reads the whole command line (without the program name).
DevsimArgs ParseDevsimArgs(const std::vector<std::string>& args);

// The model name the program will show for the device ("N/A" for a letter outside the
// model table).
std::string DevsimModelName(const SimDeviceConfig& config);

// The --help text, which also documents the log format.
std::string DevsimUsage();

}  // namespace horalign::sim
