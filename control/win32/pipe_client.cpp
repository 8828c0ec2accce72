#include "control/win32/pipe_client.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "control/json_text.h"
#include "control/win32/pipe_server.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

// Reading the rows or the settings: the service answers those between its device steps.
constexpr DWORD kReadTimeoutMs = 5000;
// A device operation waits for those queued before it.
constexpr DWORD kWorkTimeoutMs = 300000;
constexpr std::size_t kMaxAnswer = 1 << 20;

std::string Text(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kString ? value->text : "";
}

double Figure(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kNumber
             ? value->number
             : std::numeric_limits<double>::quiet_NaN();
}

bool Flag(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kBool && value->boolean;
}

}  // namespace

std::unique_ptr<ServiceClient> ServiceClient::Connect() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const HANDLE pipe = ::CreateFileA(PipeServer::kPipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE)
      return std::unique_ptr<ServiceClient>(new ServiceClient(pipe));
    // Every instance busy for a moment: the service makes the next one at once.
    if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeA(PipeServer::kPipeName, 2000)) {
      break;
    }
  }
  return nullptr;
}

std::string ServiceClient::NotRunning() {
  return std::string("no service runs: nothing serves ") + PipeServer::kPipeName;
}

ServiceClient::~ServiceClient() {
  ::CloseHandle(pipe_);
}

bool ServiceClient::Transfer(bool write, char* data, DWORD size, DWORD timeoutMs, DWORD& done) {
  OVERLAPPED ov{};
  ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool ok = write ? ::WriteFile(pipe_, data, size, nullptr, &ov)
                  : ::ReadFile(pipe_, data, size, nullptr, &ov);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
    if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) ::CancelIo(pipe_);
    ok = true;
  }
  ok = ok && ::GetOverlappedResult(pipe_, &ov, &done, TRUE);
  ::CloseHandle(ov.hEvent);
  return ok;
}

int ServiceClient::Call(const std::string& request, DWORD timeoutMs, JsonValue& answer) {
  std::string line = request + "\n";
  DWORD done = 0;
  if (!Transfer(true, line.data(), static_cast<DWORD>(line.size()), timeoutMs, done) ||
      done != line.size()) {
    problem_ = "the service's pipe is closed";
    return kExitFailed;
  }
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    // Lines that are no answer (notifications) are passed over.
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      const std::string text = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      std::string error;
      std::optional<JsonValue> parsed = ParseJson(text, error);
      if (!parsed || parsed->type != JsonValue::Type::kObject) {
        problem_ = "the service answered no JSON object: " + error;
        return kExitFailed;
      }
      if (parsed->Find("event") != nullptr) continue;
      answer = std::move(*parsed);
      if (Flag(answer, "ok")) return kExitOk;
      problem_ = Text(answer, "message");
      const std::string name = Text(answer, "error");
      if (name == "AccessDenied") return kExitRefused;
      if (name == "InvalidArgs") return kExitUsage;
      if (name == "Settings") return kExitSettings;
      return kExitFailed;
    }
    const ULONGLONG now = ::GetTickCount64();
    char buffer[4096];
    if (now >= deadline || pending_.size() > kMaxAnswer ||
        !Transfer(false, buffer, sizeof buffer, static_cast<DWORD>(deadline - now), done) ||
        done == 0) {
      problem_ = ::GetTickCount64() >= deadline ? "the service did not answer in time"
                                                : "the service closed its pipe";
      return kExitFailed;
    }
    pending_.append(buffer, done);
  }
}

int ServiceClient::Rows(std::vector<Row>& rows) {
  JsonValue answer;
  if (const int code = Call(R"({"request": "GetPorts"})", kReadTimeoutMs, answer); code) {
    return code;
  }
  rows.assign(kPortRows, Row{});
  const JsonValue* ports = answer.Find("ports");
  for (const JsonValue& r : ports ? ports->items : std::vector<JsonValue>{}) {
    const double port = Figure(r, "port");
    if (!(port >= 1 && port <= kPortRows)) continue;
    rows[static_cast<std::size_t>(port) - 1] =
        Row{Text(r, "path"),   Text(r, "active"), Text(r, "status"),   Text(r, "statusTime"),
            Text(r, "device"), Text(r, "sn"),     Text(r, "settings"), Flag(r, "detected")};
  }
  return kExitOk;
}

int ServiceClient::Devices(std::vector<Device>& devices) {
  JsonValue answer;
  if (const int code = Call(R"({"request": "GetDevices"})", kReadTimeoutMs, answer); code) {
    return code;
  }
  const JsonValue* list = answer.Find("devices");
  for (const JsonValue& d : list ? list->items : std::vector<JsonValue>{}) {
    const double success = Figure(d, "lastSuccessUtcMs");
    const double failed = Figure(d, "failedUpdates");
    devices.push_back(Device{static_cast<int>(Figure(d, "port")), Text(d, "model"), Text(d, "sn"),
                             std::isnan(success) ? 0 : static_cast<std::int64_t>(success),
                             Figure(d, "lastOffset"), Figure(d, "drift"),
                             std::isnan(failed) ? 0 : static_cast<std::uint32_t>(failed)});
  }
  return kExitOk;
}

int ServiceClient::GetSettings(Settings& s) {
  JsonValue answer;
  if (const int code = Call(R"({"request": "GetSettings"})", kReadTimeoutMs, answer); code) {
    return code;
  }
  const JsonValue* settings = answer.Find("settings");
  if (settings == nullptr) {
    problem_ = "the service's answer has no settings";
    return kExitFailed;
  }
  s.mode = static_cast<int>(Figure(*settings, "mode"));
  s.interval = static_cast<int>(Figure(*settings, "interval"));
  s.pushOnTimeChange = Flag(*settings, "pushOnTimeChange");
  s.verifyWrites = Flag(*settings, "verifyWrites");
  s.path = Text(*settings, "settings");
  s.active.clear();
  if (const JsonValue* active = settings->Find("activePorts")) {
    for (const JsonValue& port : active->items) s.active.push_back(static_cast<int>(port.number));
  }
  return kExitOk;
}

int ServiceClient::Change(const char* request, const char* member, int number) {
  JsonValue answer;
  return Call(JsonObject().Add("request", request).Add(member, number).Text(), kWorkTimeoutMs,
              answer);
}

int ServiceClient::SetActivePorts(const std::vector<int>& ports) {
  std::vector<std::string> list;
  for (int port : ports) list.push_back(std::to_string(port));
  JsonValue answer;
  return Call(JsonObject().Add("request", "SetActivePorts").Raw("ports", JsonArray(list)).Text(),
              kWorkTimeoutMs, answer);
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
  JsonValue answer;
  const int code =
      Call(JsonObject().Add("request", "Update").Add("port", port).Text(), kWorkTimeoutMs, answer);
  if (code != kExitOk) return code;
  written.outcome = Text(answer, "outcome");
  written.status = Text(answer, "status");
  const double ms = Figure(answer, "msPastSecond");
  written.msPastSecond = std::isnan(ms) ? -1 : static_cast<int>(ms);
  return kExitOk;
}

int ServiceClient::Read(int port, bool setPc, Answer& out) {
  JsonValue answer;
  const int code =
      Call(JsonObject().Add("request", "Read").Add("port", port).Add("setPc", setPc).Text(),
           kWorkTimeoutMs, answer);
  if (code != kExitOk) return code;
  out.reply = Text(answer, "reply");
  const double asked = Figure(answer, "askedUtcUs");
  out.askedUtcUs = std::isnan(asked) ? 0 : static_cast<std::int64_t>(asked);
  out.status = Text(answer, "status");
  return kExitOk;
}

std::unique_ptr<RunningService> FindRunningService() {
  return ServiceClient::Connect();
}

// The registry is one: a change goes through the service whenever one runs, so that it
// applies at once.
int ChangeThroughService(const std::string&, const char* key,
                         const std::vector<std::pair<std::string, std::string>>& values) {
  if (values.empty() || std::string_view(key) != kConfigKey) return -1;
  const std::unique_ptr<ServiceClient> service = ServiceClient::Connect();
  if (!service) return -1;
  const auto& [name, text] = values.front();
  int code = kExitOk;
  if (name == kValueConnectionMode) {
    code = service->Change("SetMode", "mode", std::atoi(text.c_str()));
  } else if (name == kValueUpdateInterval) {
    code = service->Change("SetInterval", "minutes", std::atoi(text.c_str()));
  } else if (name == kValueUsedComPorts) {
    code = service->SetActivePorts(PortsOfMask(std::atol(text.c_str())));
  } else {
    return -1;
  }
  if (code != kExitOk) Complain(service->Problem());
  return code;
}

}  // namespace horalign
