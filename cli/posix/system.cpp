// The command line on Linux: settings in a file, ports by the file's device paths, each
// open port held with an exclusive flock.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/service_calls.h"
#include "cli/system.h"
#include "platform/posix/poll_event_loop.h"
#include "platform/posix/port_holder.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_clock_sync.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/safe_file.h"

namespace horalign {
namespace {

class PosixCliSystem : public CliSystem {
 public:
  explicit PosixCliSystem(const std::string& settingsPath) : registry_(settingsPath) {
    clock_.SetSystemWait([this](int fd, std::int64_t maxUs) { loop_.YieldWatching(fd, maxUs); });
  }

  RegistryStore& Settings() override { return registry_; }
  SerialBackend& Serial() override { return serial_; }
  Clock& PcClock() override { return clock_; }
  EventLoop& Loop() override { return loop_; }
  std::string PortPath(int port) override { return PortPathFromRegistry(registry_, port); }
  PcClockSync* ClockSync() override { return &clockSync_; }

 private:
  PosixClockSync clockSync_;
  RegFileStore registry_;
  PosixSerialBackend serial_{MakeRegistryPortResolver(registry_)};
  PosixClock clock_;
  PollEventLoop loop_;
};

}  // namespace

std::unique_ptr<CliSystem> OpenCliSystem(const std::string& settingsPath) {
  return std::make_unique<PosixCliSystem>(settingsPath);
}

std::unique_ptr<RegistryStore> OpenSettings(const std::string& settingsPath) {
  return std::make_unique<RegFileStore>(settingsPath);
}

// A file written by root in a folder that belongs to the service's user goes to that user,
// so the service can still read and write it.
void SettingsWritten(const std::string& path) {
  if (::geteuid() != 0) return;
  for (const std::string& file : {path, path + ".lock"}) {
    if (const std::string problem = GiveToFolderOwner(file); !problem.empty()) Complain(problem);
  }
}

bool SameSettings(const std::string& a, const std::string& b) {
  const auto full = [](const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
  };
  return full(a) == full(b);
}

std::string WhyPortDidNotOpen(const std::string& path) {
  return DescribeUnopenablePort(path);
}

std::string Unsupported(const CliOptions&) {
  return "";
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
)" + std::string(kScanAndUpdateUsage) +
         R"(  read COMn [--set-pc] read the time of a device that answers "QT" and show its offset
                       from the PC clock; --set-pc then sets the PC clock from it
  map [COMn [PATH]]    show the port paths and the USB adapters found, or map COMn to PATH
  unmap COMn           COMn back to its default path
  config [mode 0|1|2 | active COMn ... | active none | interval MINUTES]
                       show or change the synchronization settings: mode 1 writes the PC
                       time to the active devices, mode 2 sets the PC clock from the one
                       active device; a new mode deactivates every port, as in the window
  config hold on|off | max-error SECONDS
                       write the PC time to the devices only while the PC clock is
                       synchronised and its error bound is at most SECONDS (default 0.5)
  config feed on|off | socket PATH
                       mode 2: hand each reading to the time daemon's SOCK socket at PATH
                       (default /run/horalign/chrony.sock) instead of setting the PC clock
  run                  the service in the foreground: connect the active ports and run the
                       update schedule; every change of a port is one line on standard
                       error; SIGTERM or SIGINT ends it in order, SIGHUP reads the
                       settings again
  status [--json | --openmetrics]
                       the running service's 16 rows, each device's drift, the
                       settings and the PC clock's sync state; --openmetrics: per device
                       the last successful write, the offset read back, the drift and the
                       failed writes, the PC clock's state and error bound, and the
                       samples the time daemon took and did not take

While the service runs (com.quorvane.Horalign1 on the system bus), scan, update and
read leave the ports it has active to it and ask it instead, and config, map and unmap
go to it (whoever runs them; --config naming another file works on that file) and take
effect at once; what changes something is decided by polkit. Without the service they
work on their own.

Options:
  --force         update: write also while the PC clock's state holds the writes back
  --config FILE   the settings file (default: $STATE_DIRECTORY/Horalign.reg when systemd
                  sets it, else the desktop program's $XDG_CONFIG_HOME/Quorvane/Horalign.reg)
  --system        the service's settings file, /var/lib/horalign/Horalign.reg
  --json          print the result as JSON
  --openmetrics   status: print the figures in the OpenMetrics text format
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
  7  the service refused: polkit did not allow it
  8  update: the PC clock is not synchronised and the hold is on (--force writes anyway)
)";
}

}  // namespace horalign
