#include "bench/poll_event_loop.h"

#include <time.h>

#include <algorithm>

namespace horalign::bench {

std::int64_t MonotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_nsec / 1000;
}

struct PollEventLoop::TimerState {
  std::int64_t intervalUs = 0;
  std::int64_t dueUs = 0;
  bool enabled = false;
  bool running = false;
  std::function<void()> handler;

  void Restart() { dueUs = MonotonicUs() + intervalUs; }
};

namespace {

class PollTimer : public Timer {
 public:
  explicit PollTimer(std::shared_ptr<PollEventLoop::TimerState> state) : state_(std::move(state)) {}
  void SetEnabled(bool enabled) override {
    if (enabled == state_->enabled) return;
    state_->enabled = enabled;
    state_->Restart();
  }
  bool Enabled() const override { return state_->enabled; }
  void SetInterval(int intervalMs) override {
    state_->intervalUs = std::int64_t{intervalMs} * 1000;
    state_->Restart();
  }
  int Interval() const override { return static_cast<int>(state_->intervalUs / 1000); }

 private:
  std::shared_ptr<PollEventLoop::TimerState> state_;
};

}  // namespace

PollEventLoop::PollEventLoop() = default;
PollEventLoop::~PollEventLoop() = default;

std::unique_ptr<Timer> PollEventLoop::CreateTimer(int intervalMs, bool enabled,
                                                  std::function<void()> handler) {
  auto state = std::make_shared<TimerState>();
  state->intervalUs = std::int64_t{intervalMs} * 1000;
  state->enabled = enabled;
  state->handler = std::move(handler);
  state->Restart();
  timers_.push_back(state);
  return std::make_unique<PollTimer>(std::move(state));
}

int PollEventLoop::FireDue() {
  std::erase_if(timers_, [](const auto& t) { return t.expired(); });
  // A copy: handlers create and destroy timers, and nested yields fire others.
  const std::vector<std::weak_ptr<TimerState>> snapshot = timers_;
  int fired = 0;
  for (const auto& weak : snapshot) {
    const std::shared_ptr<TimerState> t = weak.lock();
    const std::int64_t now = MonotonicUs();
    if (!t || !t->enabled || t->running || t->intervalUs <= 0 || t->dueUs > now) continue;
    // Missed periods coalesce into this one tick.
    t->dueUs += t->intervalUs * ((now - t->dueUs) / t->intervalUs + 1);
    t->running = true;
    const std::function<void()> handler = t->handler;
    handler();
    t->running = false;
    ++fired;
  }
  return fired;
}

std::int64_t PollEventLoop::UntilNextUs() const {
  std::int64_t next = -1;
  for (const auto& weak : timers_) {
    const std::shared_ptr<TimerState> t = weak.lock();
    if (!t || !t->enabled || t->running || t->intervalUs <= 0) continue;
    if (next < 0 || t->dueUs < next) next = t->dueUs;
  }
  return next < 0 ? -1 : std::max<std::int64_t>(0, next - MonotonicUs());
}

void PollEventLoop::ProcessPending() {
  FireDue();
}

void PollEventLoop::Yield() {
  if (FireDue() > 0) return;
  const std::int64_t waitUs = UntilNextUs();
  if (waitUs < 0) return;  // nothing could ever wake it
  const timespec wait{static_cast<time_t>(waitUs / 1'000'000),
                      static_cast<long>(waitUs % 1'000'000) * 1000};
  ::clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, nullptr);
  FireDue();
}

void PollEventLoop::RunForMs(std::int64_t ms) {
  const std::int64_t end = MonotonicUs() + ms * 1000;
  for (std::int64_t left = end - MonotonicUs(); left > 0; left = end - MonotonicUs()) {
    const std::int64_t next = UntilNextUs();
    if (next < 0 || next > left) {
      const timespec wait{static_cast<time_t>(left / 1'000'000),
                          static_cast<long>(left % 1'000'000) * 1000};
      ::clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, nullptr);
      FireDue();
    } else {
      Yield();
    }
  }
}

}  // namespace horalign::bench
