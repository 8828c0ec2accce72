#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/platform/event_loop.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

// The user-interface event loop on virtual time. Its timers run on VirtualTime's
// monotonic clock but are not world events: only Yield, ProcessPending and the Run
// helpers fire them, so a Clock sleep moves bytes and device clocks while the timers
// wait for the next Yield.
//
// Timer rules:
// - a handler is never re-entered by its own timer: while it runs (for instance waiting
//   in nested Yields) that timer does not fire, the others do;
// - SetEnabled(true) on a disabled timer and SetInterval on an enabled one start a fresh
//   period: next due = now + interval;
// - after firing at `now` a timer that was due at d is next due at d + interval, or at
//   now + interval when that is not later than now. So a tick that comes late (after a
//   sleep, a long handler, a long world step) fires once, and its period starts afresh
//   from there: every missed tick coalesces into exactly one catch-up tick;
// - disabled and destroyed timers never fire; an interval of 0 or less never fires;
//   equal due times fire in creation order;
// - a timer told not to tick while idle passes its due ticks in the Run helpers, while no
//   Yield is in progress, as if it fired but without its handler; it keeps its period.
class VirtualLoop : public EventLoop {
 public:
  explicit VirtualLoop(VirtualTime& time);
  ~VirtualLoop() override;
  VirtualLoop(const VirtualLoop&) = delete;
  VirtualLoop& operator=(const VirtualLoop&) = delete;

  // Runs the world events due now, then the timers due now, once each. When no timer is
  // due, advances time (running world events on the way) to the earliest due timer and
  // fires what is due then. With no timer enabled it advances to the next world event;
  // with nothing at all to wait for it aborts, since a real loop would hang.
  void Yield() override;

  // Runs the world events and the timers due now, without advancing time.
  void ProcessPending() override;

  // A Yield that has to wait goes on through this many due times (1 by default) before it
  // returns, as a real loop busy with a repaint or another timer may let a timer tick
  // twice before control comes back to the waiting routine.
  void SetDueTimesPerWait(int count) { dueTimesPerWait_ = count; }

  std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                     std::function<void()> handler) override;
  std::int64_t MonotonicMs() override;

  // Test helpers: the top-level dispatch of a running program. They fire timers like the
  // real loop but are not counted as Yields and do not call the hook.
  void RunForMs(std::int64_t ms);  // everything due up to now + ms; ends exactly there
  bool RunUntil(const std::function<bool()>& done, std::int64_t limitMs);

  std::int64_t NowUs() const { return time_.NowUs(); }
  std::int64_t YieldCount() const { return yields_; }
  std::int64_t ProcessPendingCount() const { return pendings_; }
  // Called on entry to every Yield and ProcessPending with the current time.
  void SetYieldHook(std::function<void(std::int64_t nowUs)> hook) { hook_ = std::move(hook); }
  // A guard against waits that never end: Yield aborts once virtual time passes this.
  void SetTimeLimitUs(std::int64_t us) { limitUs_ = us; }

  // The due time of the earliest timer that can fire, or -1.
  std::int64_t NextTimerDueUs();

  struct TimerState;

 private:
  struct Entry {
    std::int64_t dueUs;
    std::uint64_t order;
    std::uint64_t gen;
    TimerState* timer;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.order > b.order;
    }
  };
  class VirtualTimer;
  friend class VirtualTimer;

  void Schedule(TimerState& t);
  void Remove(TimerState* t);
  void DropStaleTop();
  // `idle`: the loop's own dispatch with no Yield in progress.
  bool FireOneDue(bool idle = false);
  void FireDue(bool idle = false);
  void Step(std::int64_t endUs);

  VirtualTime& time_;
  std::vector<std::shared_ptr<TimerState>> timers_;
  // A heap with lazy removal: an entry counts only while its generation is the timer's.
  std::vector<Entry> heap_;
  std::uint64_t nextOrder_ = 1;
  std::int64_t yields_ = 0;
  std::int64_t pendings_ = 0;
  int yieldDepth_ = 0;
  int dueTimesPerWait_ = 1;
  std::int64_t limitUs_ = 100LL * 86'400'000'000;  // 100 days
  std::function<void(std::int64_t)> hook_;
};

}  // namespace horalign::sim
