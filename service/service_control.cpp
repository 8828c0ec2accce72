#include "service/service_control.h"

#include "core/settings/com_ports.h"
#include "core/ui/main_form.h"
#include "service/headless_views.h"

namespace horalign {
namespace {

constexpr int kQueuePollMs = 50;

std::string TooManyText() {
  return "too many requests are waiting: at most " + std::to_string(kMaxWaitingPerCaller) +
         " a caller and " + std::to_string(kMaxWaiting) + " in all";
}

}  // namespace

ServiceControl::ServiceControl(Application& app, ServiceOperations& operations, ServiceState& state,
                               EventLoop& loop, ServiceLog log)
    : app_(app),
      operations_(operations),
      state_(state),
      log_(std::move(log)),
      tmrQueue_(loop.CreateTimer(kQueuePollMs, false, [this] { RunQueued(); })) {}

// A refusal is told to the caller, and said on the diagnostics channel: one that is over
// its bound only once until it is under it again, so a flood is not one line a request.
void ServiceControl::Refuse(const Reply& reply, const std::string& who, const Request& request,
                            ErrorKind kind, const std::string& why) {
  const bool tell = kind != ErrorKind::kLimitsExceeded || toldOverLimit_.insert(who).second;
  if (log_ && tell) {
    log_(LogLevel::kWarning, std::string("refused request=") + InfoOf(request.kind).name +
                                 " caller=" + LogValue(who) + " why=" + LogValue(why));
  }
  reply(Answer::Refused(kind, why));
}

void ServiceControl::Count(const std::string& who, bool more) {
  std::size_t& n = waiting_[who];
  n = more ? n + 1 : n - 1;
  if (n == 0) {
    waiting_.erase(who);
    toldOverLimit_.erase(who);
  }
}

void ServiceControl::Take(const Request& request, Caller caller, Reply reply) {
  if (app_.MainForm() == nullptr) {
    return reply(Answer::Refused(ErrorKind::kFailed, "the service is starting"));
  }
  if (InfoOf(request.kind).atOnce) return reply(state_.Read(request.kind));
  if (auto wrong = CheckArguments(request, app_.Config().ConnectionMode)) {
    Answer refused;
    refused.error = std::move(wrong);
    return reply(refused);
  }
  const auto found = waiting_.find(caller.who);
  if ((found != waiting_.end() && found->second >= kMaxWaitingPerCaller) ||
      Waiting() >= kMaxWaiting) {
    return Refuse(reply, caller.who, request, ErrorKind::kLimitsExceeded, TooManyText());
  }
  if (JoinQueuedRead(request, caller.who, reply)) return;
  if (!NeedsRight(request)) return Enqueue(request, caller.who, std::move(reply));
  ++deciding_;
  Count(caller.who, true);
  std::weak_ptr<char> alive = alive_;
  caller.authorize(request, [this, alive, request, who = caller.who, reply = std::move(reply)](
                                bool allowed, const std::string& why) {
    if (alive.expired()) return;
    --deciding_;
    Count(who, false);
    if (!allowed) return Refuse(reply, who, request, ErrorKind::kAccessDenied, why);
    Enqueue(request, who, reply);
  });
}

void ServiceControl::TakeOwn(const Request& request, Reply reply) {
  Enqueue(request, "service", std::move(reply));
}

bool ServiceControl::JoinQueuedRead(const Request& request, const std::string& who, Reply& reply) {
  if (request.kind != RequestKind::kRead || request.flag) return false;
  for (Queued& queued : reads_) {
    if (queued.request.port != request.port) continue;
    queued.waiters.emplace_back(who, std::move(reply));
    ++queued_;
    Count(who, true);
    return true;
  }
  return false;
}

void ServiceControl::Enqueue(const Request& request, const std::string& who, Reply reply) {
  const bool read = request.kind == RequestKind::kRead && !request.flag;
  Queued queued{request, {}};
  queued.waiters.emplace_back(who, std::move(reply));
  (read ? reads_ : changes_).push_back(std::move(queued));
  ++queued_;
  Count(who, true);
  tmrQueue_->SetEnabled(true);
}

void ServiceControl::RunQueued() {
  if (running_ || app_.MainForm() == nullptr) return;
  std::deque<Queued>& queue = changes_.empty() ? reads_ : changes_;
  if (queue.empty()) {
    tmrQueue_->SetEnabled(false);
    return;
  }
  Queued next = std::move(queue.front());
  queue.pop_front();
  running_ = true;
  const ServiceSettingsRead before = state_.Settings();
  Answer answer;
  const bool ran = app_.MainForm()->RunRequest([&] { answer = operations_.Run(next.request); });
  running_ = false;
  if (!ran) {
    queue.push_front(std::move(next));
    return;
  }
  state_.Refresh();
  // Whoever watches hears of changed settings before the caller has its answer, so the
  // answer finds every client up to date.
  if (!(state_.Settings() == before)) {
    for (ControlListener* listener : listeners_) listener->SettingsChanged(state_.Settings());
  }
  for (auto& [who, reply] : next.waiters) {
    --queued_;
    Count(who, false);
    reply(answer);
  }
  tmrQueue_->SetEnabled(!changes_.empty() || !reads_.empty());
}

void ServiceControl::RowSettled(int port) {
  if (!IsComPort(port)) return;
  state_.RefreshRow(port);
  for (ControlListener* listener : listeners_) listener->RowChanged(state_.Row(port));
}

void ServiceControl::Started() {
  state_.Refresh();
}

}  // namespace horalign
