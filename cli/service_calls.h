#pragma once

// The command line as the running service's client: the ports the service owns are asked of
// it, and changes of the settings go through it, so that they take effect at once and
// polkit (or the pipe's rights) decides who may make them.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "control/protocol.h"
#include "control/service_connection.h"

namespace horalign {

class RunningService {
 public:
  // Null when no service runs.
  static std::unique_ptr<RunningService> Find();
  explicit RunningService(std::unique_ptr<ServiceConnection> connection)
      : connection_(std::move(connection)) {}

  // The service's row of COM `port` when the service has it active, else null.
  const ServiceRow* Owned(int port);
  Answer Call(const Request& request) { return connection_->Call(request); }
  // The service's settings; nullopt with a complaint when it did not answer.
  std::optional<ServiceSettingsRead> Settings();

 private:
  std::unique_ptr<ServiceConnection> connection_;
  std::vector<ServiceRow> rows_;
  bool rowsRead_ = false;
};

// Whether the command works on the running service's settings: without --config while one
// runs (whoever asks, root too), or with --config naming the service's own file. Null when
// the command works on its file alone.
std::unique_ptr<RunningService> ServiceOfSettings(const CliOptions& options,
                                                  const std::string& settingsPath);

// A change of the settings handed to `service`, which applies it at once; the exit code,
// with a word on standard error when it was not done. `key` and `values` as the file has them.
int ChangeThroughService(RunningService& service, const char* key,
                         const std::vector<std::pair<std::string, std::string>>& values);

// Prints "horalign-cli: <text>" to standard error.
void Complain(const std::string& text);
// The exit code of an answer, with its message on standard error when it is a refusal.
int Complained(const Answer& answer, const std::string& prefix = "");

}  // namespace horalign
