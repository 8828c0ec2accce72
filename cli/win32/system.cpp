// The command line on Windows: the settings in the registry, where horalign.exe keeps them,
// COM ports under their own names, and the clock through Win32. The port mapping (map,
// unmap) is Linux only: Windows names its COM ports itself. The service (run) is in
// cli/win32_service.cpp, and its client (status, and the commands on the ports it owns) in
// cli/win32_pipe_client.cpp.
#include "platform/win32/win32_api.h"

#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/service_calls.h"
#include "cli/system.h"
#include "control/protocol.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_clock_sync.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_serial.h"

namespace horalign {
namespace {

// How messages and "config" name the settings.
constexpr const char* kSettingsName = "HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign";

class Win32CliSystem : public CliSystem {
 public:
  RegistryStore& Settings() override { return registry_; }
  SerialBackend& Serial() override { return serial_; }
  Clock& PcClock() override { return clock_; }
  EventLoop& Loop() override { return loop_; }
  std::string PortPath(int port) override { return CommDevicePath(port); }
  PcClockSync* ClockSync() override { return &clockSync_; }

 private:
  Win32RegistryStore registry_;
  Win32SerialBackend serial_;
  Win32Clock clock_;
  Win32EventLoop loop_;
  Win32ClockSync clockSync_;
};

// The system's own words for an error code, without the closing full stop and line break.
std::string SystemMessage(DWORD code) {
  char text[256] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

int Refuse(const CliOptions& options) {
  Complain(Unsupported(options) + " (see horalign-cli --help)");
  return kExitUsage;
}

}  // namespace

std::unique_ptr<CliSystem> OpenCliSystem(const std::string&) {
  return std::make_unique<Win32CliSystem>();
}

std::unique_ptr<RegistryStore> OpenSettings(const std::string&) {
  return std::make_unique<Win32RegistryStore>();
}

void SettingsWritten(const std::string&) {}

std::string WhyPortDidNotOpen(const std::string& path) {
  // Without sharing, as a device driver grants a COM port to one program at a time.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    switch (code) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return "does not exist";
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        return "is in use by another program";
      default:
        return "cannot be opened: " + SystemMessage(code);
    }
  }
  DCB line{};
  line.DCBlength = sizeof line;
  const bool serial = ::GetCommState(h, &line) != 0;
  ::CloseHandle(h);
  return serial ? "could not be set up" : "is not a serial port";
}

// The registry is one: the service's settings are the command's.
bool SameSettings(const std::string&, const std::string&) {
  return true;
}

std::string Unsupported(const CliOptions& options) {
  if (options.system || !options.configPath.empty()) {
    return "--config and --system are for Linux: on Windows the settings are in the registry";
  }
  if (options.command == "map" || options.command == "unmap") {
    return options.command + " is for Linux: Windows names its COM ports itself";
  }
  // The service there is given no feed: mode 2 steps the clock whatever the setting says.
  const std::vector<std::string>& a = options.args;
  if (options.command == "config" && !a.empty() &&
      (a[0] == "socket" || (a[0] == "feed" && a.size() == 2 && a[1] == "on"))) {
    return kNoTimeDaemonText;
  }
  return "";
}

// main() refuses these through Unsupported() before it dispatches.
int MapCommand(const CliOptions& options, const std::string&) {
  return Refuse(options);
}
int UnmapCommand(const CliOptions& options, const std::string&) {
  return Refuse(options);
}

std::string SettingsPathFor(const CliOptions&) {
  return kSettingsName;
}

std::string CliUsage() {
  return R"(Usage: horalign-cli [OPTIONS] COMMAND [OPERANDS]

Keeps the clocks of serial-attached devices in step with this PC, without a window.
It works on COM1 to COM16 and on the settings horalign.exe keeps in the registry
(HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign, in the registry's 32-bit view).

Commands:
)" + std::string(kScanAndUpdateUsage) +
         R"(  read COMn [--set-pc] read the time of a device that answers "QT" and show its offset
                       from the PC clock; --set-pc then sets the PC clock from it (run it
                       as an administrator)
  config [mode 0|1|2 | active COMn ... | active none | interval MINUTES]
                       show or change the synchronization settings: mode 1 writes the PC
                       time to the active devices, mode 2 sets the PC clock from the one
                       active device; a new mode deactivates every port, as in the window;
                       changing them needs an administrator
  run                  the service "Horalign" (installed by the MSI with SERVICE=1): keeps
                       the update schedule without a window, its events in the Application
                       log, its control interface on \\.\pipe\Horalign; from a console it
                       runs until Ctrl+C
  status               the running service's settings, rows and devices' figures; while the
                       service runs, scan, update, read and config go through it for the
                       ports it has active

The Linux commands map and unmap, and the options --config and --system, are not
available on Windows: Windows names its COM ports itself.
Nor are config feed on and config socket: Windows has no time daemon socket to feed,
so mode 2 sets the PC clock.

Options:
  --json          print the result as JSON
  --openmetrics   status: the devices' figures in the OpenMetrics text format
  -v, --verbose   log every change of a port row to standard error
  -h, --help      show this text
  --version       show the version

Exit status:
  0  done
  1  a device did not answer, or did not take the time
  2  the command line is wrong
  3  a port could not be opened: missing, or in use by another program
  4  the settings could not be written
  5  run: another Horalign service runs, or another process serves its pipe
  6  read --set-pc: the PC clock could not be set
  7  the service refused: changing needs an administrator
)";
}

}  // namespace horalign
