#pragma once

#include <string>

namespace horalign {

// The service: the program without a window that owns the active ports, keeps the update
// schedule and serves its control interface, until the system ends it. Returns the
// process's exit code (control/exit_codes.h). service/posix or service/win32 defines it.
int RunService(const std::string& settingsPath);

// A warning on the diagnostics channel when the settings file exists but cannot be read as
// one (the defaults apply then, and nothing is written to it). True when it is usable, as
// the registry always is.
bool CheckSettingsFile(const std::string& path);

}  // namespace horalign
