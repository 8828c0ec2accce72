#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "core/platform/registry_store.h"

namespace horalign {

// Each returns the process's exit code; results go to standard output, problems to
// standard error.
int ScanCommand(const CliOptions& options, const std::string& settingsPath);
int UpdateCommand(const CliOptions& options, const std::string& settingsPath);
int ReadCommand(const CliOptions& options, const std::string& settingsPath);
int MapCommand(const CliOptions& options, const std::string& settingsPath);
int UnmapCommand(const CliOptions& options, const std::string& settingsPath);
int ConfigCommand(const CliOptions& options, const std::string& settingsPath);
int RunCommand(const CliOptions& options, const std::string& settingsPath);
// The running service's rows, devices and settings (Linux).
int StatusCommand(const CliOptions& options, const std::string& settingsPath);

// Prints "horalign-cli: <text>" to standard error.
void Complain(const std::string& text);

// A warning on standard error when the settings file exists but cannot be read as one
// (the defaults apply then, and nothing is written to it). Returns true when usable, as
// the registry always is.
bool CheckSettingsFile(const std::string& path);

// Writes the values under `key` in order, through the service when one runs on the file;
// the exit code, with a word on standard error at the first refusal.
int StoreSettings(RegistryStore& store, const std::string& settingsPath, const char* key,
                  const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace horalign
