#include "gui/qt_event_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <optional>

namespace horalign {
namespace {

class QtTimer : public Timer {
 public:
  QtTimer(int intervalMs, bool enabled, std::function<void()> handler)
      : handler_(std::move(handler)), alive_(std::make_shared<bool>(true)) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(false);
    QObject::connect(&timer_, &QTimer::timeout, [this, alive = alive_] { Fire(alive); });
    intervalMs_ = intervalMs;
    SetEnabled(enabled);
  }

  ~QtTimer() override { *alive_ = false; }

  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Restart();
  }
  bool Enabled() const override { return enabled_; }

  void SetInterval(int intervalMs) override {
    intervalMs_ = intervalMs;
    Restart();
  }
  int Interval() const override { return intervalMs_; }

 private:
  // A fresh period from now; an interval of 0 or less never fires (a QTimer of 0 would
  // fire at every pass of the loop).
  void Restart() {
    timer_.stop();
    if (enabled_ && intervalMs_ > 0) timer_.start(intervalMs_);
  }

  // `alive` is a copy: the handler may destroy this timer and its connection with it.
  void Fire(std::shared_ptr<bool> alive) {
    // A tick that arrives while the handler waits in a nested loop is skipped.
    if (running_ || !enabled_) return;
    running_ = true;
    const std::function<void()> handler = handler_;
    handler();
    if (*alive) running_ = false;
  }

  QTimer timer_;
  std::function<void()> handler_;
  std::shared_ptr<bool> alive_;
  int intervalMs_ = 0;
  bool enabled_ = false;
  bool running_ = false;
};

}  // namespace

void QtEventLoop::Yield() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventLoop::ProcessPending() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventLoop::YieldWatching(int fd, std::int64_t maxUs) {
  // Waking is all the notifier is for: the caller reads the descriptor itself.
  std::optional<QSocketNotifier> notifier;
  if (fd >= 0) notifier.emplace(fd, QSocketNotifier::Read);
  QTimer limit;
  limit.setTimerType(Qt::PreciseTimer);
  limit.setSingleShot(true);
  limit.start(static_cast<int>(std::clamp<std::int64_t>((maxUs + 999) / 1000, 1, INT32_MAX)));
  Yield();
}

std::unique_ptr<Timer> QtEventLoop::CreateTimer(int intervalMs, bool enabled,
                                                std::function<void()> handler) {
  return std::make_unique<QtTimer>(intervalMs, enabled, std::move(handler));
}

// Qt's timers run on the steady clock.
std::int64_t QtEventLoop::MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace horalign
