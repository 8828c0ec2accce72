#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace horalign {

// A periodic timer served on the user-interface thread. Every loop, real or virtual,
// keeps three rules: a handler is never re-entered by its own timer; enabling a timer
// (or changing its interval) starts its period afresh; missed ticks coalesce into one.
// Timers run on a monotonic clock, so setting the PC clock never moves them.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetInterval(int intervalMs) = 0;
  virtual int Interval() const = 0;

  // Whether the timer ticks while the loop idles: in the loop's own dispatch with no Yield
  // in progress. One that does not keeps its period all the same (its ticks pass there as
  // if they fired, without the handler, and the loop does not wake up for them); inside a
  // Yield or ProcessPending it ticks as any timer. Timers tick while idle unless told
  // otherwise. A loop may tick them always: this only spares wake-ups.
  virtual void SetTicksWhileIdle(bool ticks) { (void)ticks; }
};

// The user-interface thread's event loop as the core sees it.
class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Runs what is due now (timer ticks, window events); when nothing is due, waits for
  // the next event (the next timer tick at the latest). Never spins a core. Waiting
  // routines call this between their checks.
  virtual void Yield() = 0;

  // Runs what is due now and returns without waiting: "let pending events run once".
  virtual void ProcessPending() = 0;

  // The handler runs on this loop's thread from Yield/ProcessPending or the loop's own
  // dispatch. The timer stops when the returned object is destroyed.
  virtual std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                             std::function<void()> handler) = 0;

  // The monotonic clock the timers run on, in milliseconds from an arbitrary start.
  virtual std::int64_t MonotonicMs() = 0;
};

}  // namespace horalign
