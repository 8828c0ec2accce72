#include "control/win32/service_pipe_link.h"

#include <utility>

#include "control/json_read.h"

namespace horalign {
namespace {

constexpr const char* kPipeName = R"(\\.\pipe\Horalign)";
constexpr int kPollMs = 200;
constexpr int kReconnectTicks = 15;  // 3 s
constexpr std::size_t kMaxLine = 1 << 20;
constexpr std::int64_t kWatchId = 0;

HANDLE OpenPipe() {
  const HANDLE pipe =
      ::CreateFileA(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return pipe;
}

std::string Text(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kString ? value->text : "";
}

double Number(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kNumber ? value->number : 0;
}

bool Flag(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Find(name);
  return value != nullptr && value->type == JsonValue::Type::kBool && value->boolean;
}

ServiceRow RowOf(const JsonValue& r) {
  return {static_cast<int>(Number(r, "port")),
          Text(r, "path"),
          Text(r, "active"),
          Text(r, "status"),
          Text(r, "statusTime"),
          Text(r, "device"),
          Text(r, "sn"),
          Text(r, "settings"),
          Flag(r, "detected")};
}

std::string RequestLine(std::int64_t id, const ServiceRequest& request) {
  const std::string value = std::to_string(request.value);
  const std::string head = R"({"id": )" + std::to_string(id) + R"(, "request": ")";
  switch (request.kind) {
    case ServiceRequestKind::kUpdate:
      return head + R"(Update", "port": )" + value + "}";
    case ServiceRequestKind::kReadTime:
      return head + R"(Read", "setPc": true, "port": )" + value + "}";
    case ServiceRequestKind::kRescan:
      return head + R"(Rescan"})";
    case ServiceRequestKind::kSetMode:
      return head + R"(SetMode", "mode": )" + value + "}";
    case ServiceRequestKind::kSetInterval:
      return head + R"(SetInterval", "minutes": )" + value + "}";
    case ServiceRequestKind::kSetActivePorts: {
      std::string ports;
      for (int port = 1; port <= 32; ++port) {
        if (request.value & (std::int64_t{1} << (port - 1))) {
          ports += (ports.empty() ? "" : ", ") + std::to_string(port);
        }
      }
      return head + R"(SetActivePorts", "ports": [)" + ports + "]}";
    }
  }
  return head + "\"}";
}

}  // namespace

std::unique_ptr<ServicePipeLink> ServicePipeLink::Connect(EventLoop& loop) {
  const HANDLE pipe = OpenPipe();
  if (pipe == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<ServicePipeLink>(new ServicePipeLink(loop, pipe));
}

ServicePipeLink::ServicePipeLink(EventLoop& loop, HANDLE pipe) : loop_(loop), pipe_(pipe) {
  tmrPoll_ = loop_.CreateTimer(kPollMs, true, [this] { Poll(); });
}

ServicePipeLink::~ServicePipeLink() {
  tmrPoll_.reset();
  if (pipe_ != INVALID_HANDLE_VALUE) ::CloseHandle(pipe_);
}

bool ServicePipeLink::Send(const std::string& line) {
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  const std::string text = line + "\n";
  DWORD written = 0;
  return ::WriteFile(pipe_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

void ServicePipeLink::Watch(Listener listener) {
  listener_ = std::move(listener);
  if (listener_.row && !Send(R"({"id": 0, "request": "Watch"})")) Lost();
}

void ServicePipeLink::Ask(const ServiceRequest& request,
                          std::function<void(const std::string& problem)> done) {
  const std::int64_t id = nextId_++;
  if (!Send(RequestLine(id, request))) {
    done("the service's pipe is closed");
    return;
  }
  asked_[id] = std::move(done);
}

void ServicePipeLink::Poll() {
  if (pipe_ == INVALID_HANDLE_VALUE) {
    if (++reconnectTicks_ < kReconnectTicks) return;
    reconnectTicks_ = 0;
    pipe_ = OpenPipe();
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    if (listener_.availability) listener_.availability(true, "");
    Watch(listener_);
    return;
  }
  DWORD waiting = 0;
  if (!::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &waiting, nullptr)) {
    Lost();
    return;
  }
  while (waiting > 0) {
    char buffer[4096];
    DWORD got = 0;
    const DWORD want = waiting < sizeof buffer ? waiting : static_cast<DWORD>(sizeof buffer);
    if (!::ReadFile(pipe_, buffer, want, &got, nullptr) || got == 0) {
      Lost();
      return;
    }
    pending_.append(buffer, got);
    waiting -= got;
  }
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    const std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    std::string error;
    const std::optional<JsonValue> parsed = ParseJson(line, error);
    if (parsed && parsed->type == JsonValue::Type::kObject) Take(*parsed);
  }
  // A service that sends no line break is no service of ours.
  if (pending_.size() > kMaxLine) Lost();
}

void ServicePipeLink::Take(const JsonValue& line) {
  const std::string event = Text(line, "event");
  if (event == "PortChanged") {
    if (const JsonValue* row = line.Find("row"); row && listener_.row) listener_.row(RowOf(*row));
    return;
  }
  if (event == "SettingsChanged") {
    if (const JsonValue* s = line.Find("settings")) Settings(*s);
    return;
  }
  const JsonValue* idValue = line.Find("id");
  if (idValue == nullptr || !idValue->IsWholeNumber()) return;
  const auto id = static_cast<std::int64_t>(idValue->number);
  if (id == kWatchId) {
    if (const JsonValue* ports = line.Find("ports"); ports && listener_.row) {
      for (const JsonValue& r : ports->items) listener_.row(RowOf(r));
    }
    if (const JsonValue* s = line.Find("settings")) Settings(*s);
    return;
  }
  const auto asked = asked_.find(id);
  if (asked == asked_.end()) return;
  const auto done = std::move(asked->second);
  asked_.erase(asked);
  const std::string message = Text(line, "message");
  done(Flag(line, "ok") ? "" : message.empty() ? Text(line, "error") : message);
}

void ServicePipeLink::Settings(const JsonValue& s) {
  if (!listener_.settings) return;
  ServiceSettings settings;
  settings.mode = static_cast<int>(Number(s, "mode"));
  if (const JsonValue* ports = s.Find("activePorts")) {
    for (const JsonValue& p : ports->items) {
      if (p.IsWholeNumber() && p.number >= 1 && p.number <= 32) {
        settings.activePorts |= 1u << (static_cast<int>(p.number) - 1);
      }
    }
  }
  settings.interval = static_cast<int>(Number(s, "interval"));
  settings.pushOnTimeChange = Flag(s, "pushOnTimeChange");
  settings.verifyWrites = Flag(s, "verifyWrites");
  listener_.settings(settings);
}

void ServicePipeLink::Lost() {
  if (pipe_ == INVALID_HANDLE_VALUE) return;
  ::CloseHandle(pipe_);
  pipe_ = INVALID_HANDLE_VALUE;
  pending_.clear();
  reconnectTicks_ = 0;
  // The questions open go unanswered: each hears why.
  auto asked = std::move(asked_);
  asked_.clear();
  for (auto& [id, done] : asked) done("the service has stopped");
  if (listener_.availability) listener_.availability(false, "the service has stopped");
}

}  // namespace horalign
