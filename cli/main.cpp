// horalign-cli: the program without a window. One-shot commands for people and scripts,
// and "run", the service. The commands and the exit codes are documented in CliUsage()
// (cli/cli_options.cpp) and the manual page packaging/man/horalign-cli.1.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/service_calls.h"
#include "cli/system.h"
#include "service/service_main.h"

int main(int argc, char** argv) {
  using namespace horalign;
  const CliArgs parsed = ParseCliArgs(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    Complain(parsed.error + " (see horalign-cli --help)");
    return kExitUsage;
  }
  const CliOptions& options = *parsed.options;
  if (options.help) {
    std::fputs(CliUsage().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("horalign-cli %s\n", HORALIGN_VERSION);
    return kExitOk;
  }
  if (const std::string why = Unsupported(options); !why.empty()) {
    Complain(why + " (see horalign-cli --help)");
    return kExitUsage;
  }
  const std::string settings = SettingsPathFor(options);
  if (options.command == "scan") return ScanCommand(options, settings);
  if (options.command == "update") return UpdateCommand(options, settings);
  if (options.command == "read") return ReadCommand(options, settings);
  if (options.command == "map") return MapCommand(options, settings);
  if (options.command == "unmap") return UnmapCommand(options, settings);
  if (options.command == "config") return ConfigCommand(options, settings);
  if (options.command == "status") return StatusCommand(options, settings);
  return RunService(settings);
}
