#include "platform/posix/poll_event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace horalign {
namespace {

// The write end of the watching loop's pipe, for the signal handler; and whether a signal
// came since the loop last looked, so that an idle loop reads no empty pipe at every pass.
volatile sig_atomic_t signalWrite = -1;
volatile sig_atomic_t signalArrived = 0;

extern "C" void OnWatchedSignal(int number) {
  const int saved = errno;
  signalArrived = 1;
  const unsigned char byte = static_cast<unsigned char>(number);
  (void)!::write(signalWrite, &byte, 1);
  errno = saved;
}

timespec ToTimespec(std::int64_t us) {
  return timespec{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
}

}  // namespace

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
  bool ticksWhileIdle = true;
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
  void SetTicksWhileIdle(bool ticks) override { state_->ticksWhileIdle = ticks; }

 private:
  std::shared_ptr<PollEventLoop::TimerState> state_;
};

}  // namespace

PollEventLoop::PollEventLoop() = default;

PollEventLoop::~PollEventLoop() {
  for (const auto& [number, action] : savedActions_) ::sigaction(number, &action, nullptr);
  if (signalRead_ >= 0) {
    ::close(signalWrite);
    signalWrite = -1;
    ::close(signalRead_);
  }
}

std::int64_t PollEventLoop::MonotonicMs() {
  return MonotonicUs() / 1000;
}

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

bool PollEventLoop::WatchSignals(std::initializer_list<int> signalNumbers,
                                 std::function<void(int)> onSignal) {
  if (signalRead_ >= 0 || signalWrite >= 0) return false;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  signalRead_ = fds[0];
  signalWrite = fds[1];
  onSignal_ = std::move(onSignal);
  struct sigaction action {};
  action.sa_handler = OnWatchedSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : signalNumbers) {
    struct sigaction previous {};
    if (::sigaction(number, &action, &previous) != 0) return false;
    savedActions_.emplace_back(number, previous);
  }
  return true;
}

int PollEventLoop::FireDue(bool idle) {
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
    if (idle && !t->ticksWhileIdle) continue;
    t->running = true;
    const std::function<void()> handler = t->handler;
    handler();
    t->running = false;
    ++fired;
  }
  return fired;
}

int PollEventLoop::DispatchSignals() {
  // A handler that yields must not take the next signal inside itself.
  if (signalRead_ < 0 || dispatching_ || !signalArrived) return 0;
  signalArrived = 0;
  unsigned char numbers[32];
  const ssize_t n = ::read(signalRead_, numbers, sizeof numbers);
  if (n <= 0) return 0;
  dispatching_ = true;
  for (ssize_t i = 0; i < n; ++i) onSignal_(numbers[i]);
  dispatching_ = false;
  return static_cast<int>(n);
}

std::int64_t PollEventLoop::UntilNextUs(bool idle) const {
  std::int64_t next = -1;
  for (const auto& weak : timers_) {
    const std::shared_ptr<TimerState> t = weak.lock();
    if (!t || !t->enabled || t->running || t->intervalUs <= 0) continue;
    if (idle && !t->ticksWhileIdle) continue;
    if (next < 0 || t->dueUs < next) next = t->dueUs;
  }
  return next < 0 ? -1 : std::max<std::int64_t>(0, next - MonotonicUs());
}

void PollEventLoop::WatchFd(int fd, std::function<bool()> onReadable) {
  if (fd >= 0) fds_.emplace_back(fd, std::move(onReadable));
}

void PollEventLoop::UnwatchFd(int fd) {
  std::erase_if(fds_, [fd](const auto& entry) { return entry.first == fd; });
}

void PollEventLoop::PassIdleTicks() {
  const std::int64_t now = MonotonicUs();
  for (const auto& weak : timers_) {
    const std::shared_ptr<TimerState> t = weak.lock();
    if (!t || !t->enabled || t->running || t->ticksWhileIdle || t->intervalUs <= 0) continue;
    if (t->dueUs > now) continue;
    t->dueUs += t->intervalUs * ((now - t->dueUs) / t->intervalUs + 1);
  }
}

int PollEventLoop::Wait(std::int64_t us, bool idle) {
  // ppoll measures its time-out on the monotonic clock: setting the PC clock moves nothing.
  const timespec timeout = ToTimespec(std::max<std::int64_t>(us, 0));
  std::vector<pollfd> watched;
  if (signalRead_ >= 0 && !dispatching_) watched.push_back({signalRead_, POLLIN, 0});
  // A handler that yields must not be called again inside itself.
  const bool withFds = !servingFds_;
  if (withFds) {
    for (const auto& [fd, handler] : fds_) watched.push_back({fd, POLLIN, 0});
  }
  const std::size_t firstWake = watched.size();
  for (int fd : wakeFds_) watched.push_back({fd, POLLIN, 0});
  const int ready = ::ppoll(watched.data(), watched.size(), us < 0 ? nullptr : &timeout, nullptr);
  if (idle) PassIdleTicks();
  if (ready <= 0) return 0;
  const auto woken = static_cast<int>(
      std::count_if(watched.begin() + static_cast<std::ptrdiff_t>(firstWake), watched.end(),
                    [](const pollfd& p) { return p.revents != 0; }));
  if (!withFds) return woken;
  std::vector<int> readable;
  for (std::size_t i = 0; i < firstWake; ++i) {
    if (watched[i].fd != signalRead_ && watched[i].revents != 0) readable.push_back(watched[i].fd);
  }
  servingFds_ = true;
  for (int fd : readable) {
    const auto it = std::find_if(fds_.begin(), fds_.end(),
                                 [fd](const auto& entry) { return entry.first == fd; });
    if (it == fds_.end()) continue;
    const std::function<bool()> handler = it->second;
    if (!handler()) {
      std::erase_if(fds_, [fd](const auto& entry) { return entry.first == fd; });
    }
  }
  servingFds_ = false;
  return static_cast<int>(readable.size()) + woken;
}

void PollEventLoop::ProcessPending() {
  DispatchSignals();
  if (!fds_.empty()) Wait(0);
  FireDue();
}

void PollEventLoop::Yield() {
  ++yieldDepth_;
  Dispatch(false);
  --yieldDepth_;
}

void PollEventLoop::YieldWatching(int fd, std::int64_t maxUs) {
  const std::int64_t limitMs = std::clamp<std::int64_t>((maxUs + 999) / 1000, 1, INT32_MAX);
  const std::unique_ptr<Timer> limit = CreateTimer(static_cast<int>(limitMs), true, [] {});
  if (fd >= 0) wakeFds_.push_back(fd);
  Yield();
  if (fd >= 0) wakeFds_.pop_back();
}

void PollEventLoop::Dispatch(bool idle) {
  const bool anyFd = !fds_.empty() || !wakeFds_.empty();
  if (DispatchSignals() + (anyFd ? Wait(0) : 0) + FireDue(idle) > 0) return;
  if (!CanWake(idle)) return;  // nothing could ever wake it
  Wait(UntilNextUs(idle), idle);
  DispatchSignals();
  FireDue(idle);
}

void PollEventLoop::Run() {
  stopped_ = false;
  while (!stopped_ && CanWake(Idle())) Dispatch(Idle());
}

void PollEventLoop::RunForMs(std::int64_t ms) {
  const std::int64_t end = MonotonicUs() + ms * 1000;
  for (std::int64_t left = end - MonotonicUs(); left > 0; left = end - MonotonicUs()) {
    const bool idle = Idle();
    const std::int64_t next = UntilNextUs(idle);
    if (next < 0 || next > left) {
      Wait(left, idle);
      DispatchSignals();
      FireDue(idle);
    } else {
      Dispatch(idle);
    }
  }
}

}  // namespace horalign
