#pragma once

// What the command line needs of the operating system. cli/CMakeLists.txt picks one
// definition: cli/posix_system.cpp (Linux, settings in a file) or cli/win32_system.cpp
// (Windows, settings in the registry).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "core/platform/clock.h"
#include "core/platform/event_loop.h"
#include "core/platform/registry_store.h"
#include "core/platform/serial_backend.h"

namespace horalign {

// The adapters one command works through.
class CliSystem {
 public:
  virtual ~CliSystem() = default;
  virtual RegistryStore& Settings() = 0;
  virtual SerialBackend& Serial() = 0;
  virtual Clock& PcClock() = 0;
  virtual EventLoop& Loop() = 0;
  // The device COM `port` stands for ("/dev/ttyS0", "\\.\COM1").
  virtual std::string PortPath(int port) = 0;
};

std::unique_ptr<CliSystem> OpenCliSystem(const std::string& settingsPath);

// The settings alone, for the commands that only read or write them.
std::unique_ptr<RegistryStore> OpenSettings(const std::string& settingsPath);

// Called after a command has written the settings.
void SettingsWritten(const std::string& settingsPath);

// Why the port at `path` did not open, as the end of a sentence that begins with the path
// ("does not exist", "is in use by another program", ...). Called after an open failed.
std::string WhyPortDidNotOpen(const std::string& path);

// The service, when one runs: it owns the ports it has active, so the commands ask it about
// those rather than open them. Each call returns an exit code; on a refusal or a failure
// Problem() says why.
class RunningService {
 public:
  struct Row {
    std::string path, active, status, statusTime, device, sn, settings;
    bool detected = false;
  };
  struct Written {
    std::string outcome, status;  // as "update" reports them
    int msPastSecond = -1;
  };
  struct Answer {
    std::string reply;            // the device's line, "" for none
    std::int64_t askedUtcUs = 0;  // when the question was written
    std::string status;           // after --set-pc
  };
  virtual ~RunningService() = default;
  // The service's row of COM `port` when the service has it active, else null.
  virtual const Row* Owned(int port) = 0;
  virtual int Update(int port, Written& written) = 0;
  virtual int Read(int port, bool setPc, Answer& answer) = 0;
  virtual const std::string& Problem() const = 0;
};

// A device's figures as the running service keeps them (`status`).
struct ServiceDevice {
  int port = 0;
  std::string model, sn;
  std::int64_t lastSuccessUtcMs = 0;
  double lastOffset = 0, drift = 0;  // NaN when not known
  std::uint32_t failedUpdates = 0;
};
// The running service's settings, as it answers for them.
struct ServiceSettingsRead {
  int mode = 0;
  std::vector<int> active;
  int interval = 0;
  bool pushOnTimeChange = false, verifyWrites = false;
  std::string path;
};

// The ports of a "Used COM Ports" mask, COM1 first.
std::vector<int> PortsOfMask(long mask);

// Null when no service runs (its bus name has no owner) or this system has none.
std::unique_ptr<RunningService> FindRunningService();

// A change of the settings file handed to the service that runs on it, which applies it at
// once: an exit code, or -1 when no service runs on `settingsPath`.
int ChangeThroughService(const std::string& settingsPath, const char* key,
                         const std::vector<std::pair<std::string, std::string>>& values);

// "" when this system runs the command line as given, else why it does not.
std::string Unsupported(const CliOptions& options);

}  // namespace horalign
