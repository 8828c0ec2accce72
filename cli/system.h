#pragma once

// What the command line needs of the operating system. cli/CMakeLists.txt picks one
// definition: cli/posix/system.cpp (Linux, settings in a file) or cli/win32/system.cpp
// (Windows, settings in the registry).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "core/platform/clock.h"
#include "core/platform/event_loop.h"
#include "core/platform/pc_clock_sync.h"
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
  // Where the PC clock's sync state is read; null where it cannot be.
  virtual PcClockSync* ClockSync() { return nullptr; }
};

std::unique_ptr<CliSystem> OpenCliSystem(const std::string& settingsPath);

// The settings alone, for the commands that only read or write them.
std::unique_ptr<RegistryStore> OpenSettings(const std::string& settingsPath);

// Called after a command has written the settings.
void SettingsWritten(const std::string& settingsPath);

// Why the port at `path` did not open, as the end of a sentence that begins with the path
// ("does not exist", "is in use by another program", ...). Called after an open failed.
std::string WhyPortDidNotOpen(const std::string& path);

// Whether two names of the settings are the same settings (the service's, and the one a
// command was given).
bool SameSettings(const std::string& a, const std::string& b);

// "" when this system runs the command line as given, else why it does not.
std::string Unsupported(const CliOptions& options);

}  // namespace horalign
