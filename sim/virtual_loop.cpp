#include "sim/virtual_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace horalign::sim {

struct VirtualLoop::TimerState : std::enable_shared_from_this<TimerState> {
  VirtualLoop* loop = nullptr;  // null once the timer or the loop is gone
  std::function<void()> handler;
  int intervalMs = 0;
  bool enabled = false;
  bool running = false;  // its handler is on the stack
  bool ticksWhileIdle = true;
  std::uint64_t order = 0;
  std::uint64_t gen = 0;  // bumped at every change, so older heap entries go stale
  std::int64_t dueUs = 0;

  std::int64_t IntervalUs() const { return std::int64_t{intervalMs} * 1000; }
};

class VirtualLoop::VirtualTimer : public Timer {
 public:
  explicit VirtualTimer(std::shared_ptr<TimerState> state) : s_(std::move(state)) {}
  ~VirtualTimer() override {
    if (s_->loop != nullptr) s_->loop->Remove(s_.get());
  }

  void SetEnabled(bool enabled) override {
    if (enabled == s_->enabled) return;
    s_->enabled = enabled;
    Restart();
  }
  bool Enabled() const override { return s_->enabled; }
  void SetInterval(int intervalMs) override {
    s_->intervalMs = intervalMs;
    Restart();
  }
  int Interval() const override { return s_->intervalMs; }
  void SetTicksWhileIdle(bool ticks) override { s_->ticksWhileIdle = ticks; }

 private:
  void Restart() {
    if (s_->loop == nullptr) return;
    s_->dueUs = s_->loop->NowUs() + s_->IntervalUs();
    s_->loop->Schedule(*s_);
  }

  std::shared_ptr<TimerState> s_;
};

VirtualLoop::VirtualLoop(VirtualTime& time) : time_(time) {}

VirtualLoop::~VirtualLoop() {
  for (auto& t : timers_) t->loop = nullptr;
}

std::int64_t VirtualLoop::MonotonicMs() {
  return NowUs() / 1000;
}

std::unique_ptr<Timer> VirtualLoop::CreateTimer(int intervalMs, bool enabled,
                                                std::function<void()> handler) {
  auto state = std::make_shared<TimerState>();
  state->loop = this;
  state->handler = std::move(handler);
  state->intervalMs = intervalMs;
  state->enabled = enabled;
  state->order = nextOrder_++;
  state->dueUs = NowUs() + state->IntervalUs();
  timers_.push_back(state);
  Schedule(*state);
  return std::make_unique<VirtualTimer>(std::move(state));
}

void VirtualLoop::Schedule(TimerState& t) {
  ++t.gen;
  if (!t.enabled || t.running || t.intervalMs <= 0) return;
  heap_.push_back({t.dueUs, t.order, t.gen, &t});
  std::push_heap(heap_.begin(), heap_.end(), Later{});
  if (heap_.size() > 2 * timers_.size() + 32) {
    std::erase_if(heap_, [](const Entry& e) { return e.gen != e.timer->gen; });
    std::make_heap(heap_.begin(), heap_.end(), Later{});
  }
}

void VirtualLoop::Remove(TimerState* t) {
  t->loop = nullptr;
  std::erase_if(heap_, [t](const Entry& e) { return e.timer == t; });
  std::make_heap(heap_.begin(), heap_.end(), Later{});
  std::erase_if(timers_, [t](const std::shared_ptr<TimerState>& p) { return p.get() == t; });
}

void VirtualLoop::DropStaleTop() {
  while (!heap_.empty() && heap_.front().gen != heap_.front().timer->gen) {
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
  }
}

std::int64_t VirtualLoop::NextTimerDueUs() {
  DropStaleTop();
  return heap_.empty() ? -1 : heap_.front().dueUs;
}

bool VirtualLoop::FireOneDue(bool idle) {
  const std::int64_t now = NowUs();
  DropStaleTop();
  if (heap_.empty() || heap_.front().dueUs > now) return false;
  TimerState* t = heap_.front().timer;
  std::pop_heap(heap_.begin(), heap_.end(), Later{});
  heap_.pop_back();
  // Held so that a handler may destroy its own timer.
  const std::shared_ptr<TimerState> keep = t->shared_from_this();
  const std::int64_t next = t->dueUs + t->IntervalUs();
  t->dueUs = next > now ? next : now + t->IntervalUs();
  if (idle && !t->ticksWhileIdle) {
    Schedule(*t);
    return true;
  }
  t->running = true;
  ++t->gen;
  t->handler();
  t->running = false;
  if (t->loop != nullptr) Schedule(*t);
  return true;
}

void VirtualLoop::FireDue(bool idle) {
  while (FireOneDue(idle)) {
  }
}

void VirtualLoop::ProcessPending() {
  ++pendings_;
  if (hook_) hook_(NowUs());
  time_.AdvanceTo(NowUs());
  FireDue();
}

void VirtualLoop::Yield() {
  ++yields_;
  ++yieldDepth_;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{yieldDepth_};
  if (hook_) hook_(NowUs());
  if (NowUs() > limitUs_) {
    std::fprintf(stderr,
                 "VirtualLoop: virtual time passed its limit of %lld us; a wait never ends\n",
                 static_cast<long long>(limitUs_));
    std::abort();
  }
  time_.AdvanceTo(NowUs());
  if (FireOneDue()) {
    FireDue();
    return;
  }
  for (int waited = 0; waited < std::max(dueTimesPerWait_, 1); ++waited) {
    std::int64_t next = NextTimerDueUs();
    if (next < 0) next = time_.NextEventUs();
    if (next < 0 && waited > 0) return;
    if (next < 0) {
      std::fprintf(stderr,
                   "VirtualLoop::Yield: no timer can fire and no world event is pending; "
                   "this wait would never end\n");
      std::abort();
    }
    time_.AdvanceTo(next);
    FireDue();
  }
}

void VirtualLoop::Step(std::int64_t endUs) {
  const bool idle = yieldDepth_ == 0;
  time_.AdvanceTo(NowUs());
  FireDue(idle);
  std::int64_t next = endUs;
  const std::int64_t timer = NextTimerDueUs();
  const std::int64_t world = time_.NextEventUs();
  if (timer >= 0) next = std::min(next, timer);
  if (world >= 0) next = std::min(next, world);
  time_.AdvanceTo(next);
  FireDue(idle);
}

void VirtualLoop::RunForMs(std::int64_t ms) {
  const std::int64_t end = NowUs() + ms * 1000;
  do {
    Step(end);
  } while (NowUs() < end);
}

bool VirtualLoop::RunUntil(const std::function<bool()>& done, std::int64_t limitMs) {
  const std::int64_t end = NowUs() + limitMs * 1000;
  for (;;) {
    if (done()) return true;
    if (NowUs() >= end) return false;
    Step(end);
  }
}

}  // namespace horalign::sim
