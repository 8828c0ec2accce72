#pragma once

// The service's side of its control channels, for every transport: a request is checked,
// its caller's right decided, and then it is answered at once from the service's state (a
// read) or queued to run in turn between the service's own work. What a caller may have
// waiting is bounded, so that no caller (one that floods reads, or leaves polkit's question
// unanswered) can hold up the others.
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "control/control_handler.h"
#include "core/app/application.h"
#include "core/platform/event_loop.h"
#include "service/operations.h"
#include "service/service_state.h"

namespace horalign {

// At most this many requests of one caller wait (queued, or with its right being decided),
// and this many of all callers; a duplicate of a queued read joins it and counts for none.
inline constexpr std::size_t kMaxWaitingPerCaller = 4;
inline constexpr std::size_t kMaxWaiting = 64;

class ServiceControl final : public ControlHandler {
 public:
  ServiceControl(Application& app, ServiceOperations& operations, ServiceState& state,
                 EventLoop& loop, ServiceLog log = {});
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  void Take(const Request& request, Caller caller, Reply reply) override;
  // The service's own request (a reload on SIGHUP): in turn, without asking anyone.
  void TakeOwn(const Request& request, Reply reply);
  void AddListener(ControlListener& listener) { listeners_.push_back(&listener); }

  // A row has settled: the state takes it and every listener hears of it.
  void RowSettled(int port);
  // The start-up scan is done: the state takes it all.
  void Started();

  std::size_t Waiting() const { return queued_ + deciding_; }

 private:
  // One operation and whoever waits for its answer (more than one for a shared read).
  struct Queued {
    Request request;
    std::vector<std::pair<std::string, Reply>> waiters;
  };
  void Enqueue(const Request& request, const std::string& who, Reply reply);
  bool JoinQueuedRead(const Request& request, const std::string& who, Reply& reply);
  void RunQueued();
  void Count(const std::string& who, bool more);

  void Refuse(const Reply& reply, const std::string& who, const Request& request, ErrorKind kind,
              const std::string& why);

  Application& app_;
  ServiceOperations& operations_;
  ServiceState& state_;
  std::vector<ControlListener*> listeners_;
  // Changes and writes run before reads of a device, so that a flood of reads cannot hold
  // an administrator's update behind it.
  std::deque<Queued> changes_, reads_;
  std::map<std::string, std::size_t> waiting_;  // per caller, queued and being decided
  std::size_t queued_ = 0, deciding_ = 0;
  ServiceLog log_;
  std::set<std::string> toldOverLimit_;  // said once while they stay over
  bool running_ = false;
  // Looks at the queues while they are not empty; off otherwise, so an idle service does
  // not wake for them.
  std::unique_ptr<Timer> tmrQueue_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace horalign
