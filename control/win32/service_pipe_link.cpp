#include "control/win32/service_pipe_link.h"

#include <utility>

#include "control/json_lines.h"
#include "control/win32/pipe_trust.h"
#include "control/window_requests.h"
#include "core/settings/com_ports.h"

namespace horalign {
namespace {

constexpr int kPollMs = 200;
constexpr int kReconnectTicks = 15;  // 3 s
constexpr std::size_t kMaxLine = 1 << 20;
constexpr std::int64_t kWatchId = 0;

// The service's pipe, when the service serves it; a process that took the name is treated
// as no service, and hears nothing.
HANDLE OpenPipe() {
  const HANDLE pipe = OpenServicePipe(0);
  if (pipe == INVALID_HANDLE_VALUE || CheckPipeServer(pipe).empty()) return pipe;
  ::CloseHandle(pipe);
  return INVALID_HANDLE_VALUE;
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
  if (listener_.row && !Send(EncodeRequestLine(MakeRequest(RequestKind::kWatch), kWatchId))) {
    Lost();
  }
}

void ServicePipeLink::Ask(const ServiceRequest& request,
                          std::function<void(const std::string& problem)> done) {
  const std::int64_t id = nextId_++;
  if (!Send(EncodeRequestLine(RequestOf(request), id))) {
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
    Take(line);
  }
  // A service that sends no line break is no service of ours.
  if (pending_.size() > kMaxLine) Lost();
}

void ServicePipeLink::Take(const std::string& line) {
  // The window needs only whether a request was done, and the rows and settings.
  std::string error;
  const std::optional<AnswerLine> peek = DecodeAnswerLine(RequestKind::kWatch, line, error);
  if (!peek) return;
  if (!peek->event.empty()) {
    if (peek->event == "PortChanged" && !peek->answer.rows.empty() && listener_.row) {
      listener_.row(peek->answer.rows.front());
    }
    if (peek->event == "SettingsChanged" && peek->answer.settings && listener_.settings) {
      listener_.settings(WindowSettings(*peek->answer.settings));
    }
    return;
  }
  if (!IsWholeNumber(peek->id)) return;
  const auto id = peek->id.get<std::int64_t>();
  if (id == kWatchId) {
    for (const ServiceRow& row : peek->answer.rows) {
      if (listener_.row) listener_.row(row);
    }
    if (peek->answer.settings && listener_.settings) {
      listener_.settings(WindowSettings(*peek->answer.settings));
    }
    return;
  }
  const auto asked = asked_.find(id);
  if (asked == asked_.end()) return;
  const auto done = std::move(asked->second);
  asked_.erase(asked);
  const std::optional<ControlError>& refused = peek->answer.error;
  done(!refused                   ? ""
       : refused->message.empty() ? std::string(ErrorName(refused->kind))
                                  : refused->message);
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
