#include "cli/service_calls.h"

#include <cstdio>
#include <cstdlib>

#include "cli/system.h"
#include "control/exit_codes.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"

namespace horalign {

void Complain(const std::string& text) {
  std::fprintf(stderr, "horalign-cli: %s\n", text.c_str());
}

int Complained(const Answer& answer, const std::string& prefix) {
  if (answer.Ok()) return kExitOk;
  Complain(prefix + answer.error->message);
  return ExitCodeOf(answer.error->kind);
}

std::unique_ptr<RunningService> RunningService::Find() {
  std::unique_ptr<ServiceConnection> connection = ConnectToService();
  return connection ? std::make_unique<RunningService>(std::move(connection)) : nullptr;
}

const ServiceRow* RunningService::Owned(int port) {
  if (!rowsRead_) {
    rowsRead_ = true;
    rows_ = connection_->Call(MakeRequest(RequestKind::kGetPorts)).rows;
  }
  for (const ServiceRow& row : rows_) {
    if (row.port == port) return row.active == "Yes" ? &row : nullptr;
  }
  return nullptr;
}

std::optional<ServiceSettingsRead> RunningService::Settings() {
  Answer answer = connection_->Call(MakeRequest(RequestKind::kGetSettings));
  if (!answer.Ok() || !answer.settings) {
    Complain("the service did not answer: " +
             (answer.error ? answer.error->message : std::string("no settings")));
    return std::nullopt;
  }
  return std::move(answer.settings);
}

std::unique_ptr<RunningService> ServiceOfSettings(const CliOptions& options,
                                                  const std::string& settingsPath) {
  std::unique_ptr<RunningService> service = RunningService::Find();
  if (!service || options.configPath.empty()) return service;
  const std::optional<ServiceSettingsRead> settings = service->Settings();
  if (!settings || !SameSettings(settings->path, settingsPath)) return nullptr;
  return service;
}

int ChangeThroughService(RunningService& service, const char* key,
                         const std::vector<std::pair<std::string, std::string>>& values) {
  if (values.empty()) return kExitOk;
  const auto& [name, text] = values.front();
  Request r;
  if (std::string_view(key) == kPortsKey) {
    r = PortRequest(RequestKind::kSetPortPath, ParsePortName(name).value_or(0));
    r.path = text;
  } else if (name == kValueConnectionMode) {
    r = NumberRequest(RequestKind::kSetMode, std::atoi(text.c_str()));
  } else if (name == kValueUpdateInterval) {
    r = NumberRequest(RequestKind::kSetInterval, std::atoi(text.c_str()));
  } else if (name == kValueUsedComPorts) {
    r = MakeRequest(RequestKind::kSetActivePorts);
    for (int port : PortsOfMask(static_cast<std::uint32_t>(std::atol(text.c_str())))) {
      r.ports.push_back(port);
    }
  } else if (name == kValuePushOnlyWhenSynchronized) {
    r = MakeRequest(RequestKind::kSetPushOnlyWhenSynchronized);
    r.flag = text == "1";
  } else if (name == kValueFeedTimeDaemon) {
    r = MakeRequest(RequestKind::kSetFeedTimeDaemon);
    r.flag = text == "1";
  } else if (name == kValueTimeDaemonSocket) {
    r = MakeRequest(RequestKind::kSetTimeDaemonSocket);
    r.path = text;
  } else if (name == kValueMaximumClockError) {
    r = MakeRequest(RequestKind::kSetMaxClockError);
    r.seconds = std::strtod(text.c_str(), nullptr);
  } else {
    Complain("the service does not take " + name);
    return kExitUsage;
  }
  return Complained(service.Call(r));
}

}  // namespace horalign
