#include "control/posix/bus_client.h"

#include <limits.h>
#include <stdlib.h>

#include <cstring>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "control/posix/bus_names.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

// Reading the rows or the settings: the service answers those between its device steps.
constexpr std::uint64_t kReadTimeoutMicros = 5'000'000;
// A device operation waits for those queued before it, and polkit may ask for a password.
constexpr std::uint64_t kWorkTimeoutMicros = 300'000'000;

std::string FullPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

}  // namespace

std::unique_ptr<ServiceClient> ServiceClient::Connect() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  // Every call without a timeout of its own: a service that hangs fails a status in 5 s.
  sd_bus_set_method_call_timeout(bus, kReadTimeoutMicros);
  BusError error;
  BusReply reply;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error.e, &reply.m, "s",
                         kBusName) < 0 ||
      sd_bus_message_read(reply.m, "b", &owned) < 0 || !owned) {
    sd_bus_flush_close_unref(bus);
    return nullptr;
  }
  // Lets polkit ask for an administrator's password where an agent runs.
  sd_bus_set_allow_interactive_authorization(bus, 1);
  return std::unique_ptr<ServiceClient>(new ServiceClient(bus));
}

ServiceClient::~ServiceClient() {
  sd_bus_flush_close_unref(bus_);
}

int ServiceClient::Failed(const sd_bus_error& error, int r) {
  problem_ = error.message != nullptr ? error.message : std::strerror(-r);
  if (sd_bus_error_has_name(&error, kErrorAccessDenied)) return kExitRefused;
  if (sd_bus_error_has_name(&error, kErrorInvalidArgs)) return kExitUsage;
  if (sd_bus_error_has_name(&error, kErrorSettings)) return kExitSettings;
  return kExitFailed;
}

int ServiceClient::Rows(std::vector<Row>& rows) {
  BusError error;
  BusReply reply;
  const int r = sd_bus_call_method(bus_, kBusName, kBusPath, kBusInterface, "GetPorts", &error.e,
                                   &reply.m, "");
  if (r < 0) return Failed(error.e, r);
  rows.assign(kPortRows, Row{});
  if (sd_bus_message_enter_container(reply.m, 'a', "(issssssbs)") < 0)
    return Failed(error.e, -EBADMSG);
  int port = 0, detected = 0;
  const char *path, *active, *status, *time, *device, *sn, *settings;
  while (sd_bus_message_read(reply.m, "(issssssbs)", &port, &path, &active, &status, &time, &device,
                             &sn, &detected, &settings) > 0) {
    if (port < 1 || port > kPortRows) continue;
    rows[static_cast<std::size_t>(port - 1)] =
        Row{path, active, status, time, device, sn, settings, detected != 0};
  }
  return kExitOk;
}

int ServiceClient::Devices(std::vector<Device>& devices) {
  BusError error;
  BusReply reply;
  const int r = sd_bus_call_method(bus_, kBusName, kBusPath, kBusInterface, "GetDevices", &error.e,
                                   &reply.m, "");
  if (r < 0) return Failed(error.e, r);
  if (sd_bus_message_enter_container(reply.m, 'a', "(issxddu)") < 0)
    return Failed(error.e, -EBADMSG);
  Device d;
  const char *model, *sn;
  while (sd_bus_message_read(reply.m, "(issxddu)", &d.port, &model, &sn, &d.lastSuccessUtcMs,
                             &d.lastOffset, &d.drift, &d.failedUpdates) > 0) {
    d.model = model, d.sn = sn;
    devices.push_back(d);
  }
  return kExitOk;
}

int ServiceClient::GetSettings(Settings& s) {
  BusError error;
  BusReply reply;
  const int r = sd_bus_call_method(bus_, kBusName, kBusPath, kBusInterface, "GetSettings", &error.e,
                                   &reply.m, "");
  if (r < 0) return Failed(error.e, r);
  const void* ports = nullptr;
  std::size_t size = 0;
  const char* path = "";
  int push = 0, verify = 0;
  if (sd_bus_message_read(reply.m, "i", &s.mode) < 0 ||
      sd_bus_message_read_array(reply.m, 'i', &ports, &size) < 0 ||
      sd_bus_message_read(reply.m, "ibbs", &s.interval, &push, &verify, &path) < 0) {
    return Failed(error.e, -EBADMSG);
  }
  s.active.resize(size / sizeof(std::int32_t));
  if (size > 0) std::memcpy(s.active.data(), ports, s.active.size() * sizeof(std::int32_t));
  s.pushOnTimeChange = push != 0, s.verifyWrites = verify != 0, s.path = path;
  return kExitOk;
}

template <typename... Values>
int ServiceClient::Call(const char* method, BusError& error, BusReply& reply, const char* types,
                        Values... values) {
  BusReply call;
  int r = sd_bus_message_new_method_call(bus_, &call.m, kBusName, kBusPath, kBusInterface, method);
  if (r >= 0) r = sd_bus_message_append(call.m, types, values...);
  if (r >= 0) r = sd_bus_call(bus_, call.m, kWorkTimeoutMicros, &error.e, &reply.m);
  return r;
}

int ServiceClient::Change(const char* method, int number) {
  BusError error;
  BusReply reply;
  const int r = Call(method, error, reply, "i", number);
  return r < 0 ? Failed(error.e, r) : kExitOk;
}

int ServiceClient::SetPortPath(int port, const std::string& path) {
  BusError error;
  BusReply reply;
  const int r = Call("SetPortPath", error, reply, "is", port, path.c_str());
  return r < 0 ? Failed(error.e, r) : kExitOk;
}

int ServiceClient::SetActivePorts(const std::vector<int>& ports) {
  BusError error;
  BusReply call, reply;
  int r = sd_bus_message_new_method_call(bus_, &call.m, kBusName, kBusPath, kBusInterface,
                                         "SetActivePorts");
  if (r >= 0)
    r = sd_bus_message_append_array(call.m, 'i', ports.data(), ports.size() * sizeof(int));
  if (r >= 0) r = sd_bus_call(bus_, call.m, kWorkTimeoutMicros, &error.e, &reply.m);
  return r < 0 ? Failed(error.e, r) : kExitOk;
}

const RunningService::Row* ServiceClient::Owned(int port) {
  if (!rowsRead_) {
    rowsRead_ = true;
    if (Rows(rows_) != kExitOk) rows_.clear();
  }
  if (port < 1 || port > static_cast<int>(rows_.size())) return nullptr;
  const Row& row = rows_[static_cast<std::size_t>(port - 1)];
  return row.active == "Yes" ? &row : nullptr;
}

int ServiceClient::Update(int port, Written& written) {
  BusError error;
  BusReply reply;
  const int r = Call("Update", error, reply, "i", port);
  if (r < 0) return Failed(error.e, r);
  const char *outcome = "", *status = "";
  if (sd_bus_message_read(reply.m, "ssi", &outcome, &status, &written.msPastSecond) < 0)
    return Failed(error.e, -EBADMSG);
  written.outcome = outcome, written.status = status;
  return kExitOk;
}

int ServiceClient::Read(int port, bool setPc, Answer& answer) {
  BusError error;
  BusReply reply;
  const int r = Call("Read", error, reply, "ib", port, int{setPc});
  if (r < 0) return Failed(error.e, r);
  const char *line = "", *status = "";
  if (sd_bus_message_read(reply.m, "sxs", &line, &answer.askedUtcUs, &status) < 0)
    return Failed(error.e, -EBADMSG);
  answer.reply = line, answer.status = status;
  return kExitOk;
}

std::unique_ptr<RunningService> FindRunningService() {
  return ServiceClient::Connect();
}

int ChangeThroughService(const std::string& settingsPath, const char* key,
                         const std::vector<std::pair<std::string, std::string>>& values) {
  const std::unique_ptr<ServiceClient> service = ServiceClient::Connect();
  ServiceClient::Settings settings;
  if (!service || service->GetSettings(settings) != kExitOk ||
      FullPath(settings.path) != FullPath(settingsPath) || values.empty()) {
    return -1;
  }
  const auto& [name, text] = values.front();
  int code = kExitOk;
  if (std::string_view(key) == kPortsKey) {
    code = service->SetPortPath(std::atoi(name.c_str() + 3), text);
  } else if (name == kValueConnectionMode) {
    code = service->Change("SetMode", std::atoi(text.c_str()));
  } else if (name == kValueUpdateInterval) {
    code = service->Change("SetInterval", std::atoi(text.c_str()));
  } else if (name == kValueUsedComPorts) {
    code = service->SetActivePorts(PortsOfMask(std::atol(text.c_str())));
  } else {
    return -1;
  }
  if (code != kExitOk) Complain(service->Problem());
  return code;
}

}  // namespace horalign
