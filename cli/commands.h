#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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
// The running service's rows, devices and settings.
int StatusCommand(const CliOptions& options, const std::string& settingsPath);

class RunningService;
// Writes the values under `key` in order: through `service` when the command works on the
// running service's settings (ServiceOfSettings), else to `store`. The exit code, with a
// word on standard error at the first refusal.
int StoreSettings(RunningService* service, RegistryStore& store, const std::string& settingsPath,
                  const char* key, const std::vector<std::pair<std::string, std::string>>& values);

// Writes `text` to standard output as it stands.
void Print(const std::string& text);
// `text` padded with blanks to `width` characters.
std::string Padded(std::string text, std::size_t width);
// Writes `value` as one line of JSON.
void PrintJson(const nlohmann::ordered_json& value);

}  // namespace horalign
