#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "core/platform/clock.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

// One attempt of the program to set the PC clock.
struct ClockSetRecord {
  std::int64_t atUs = 0;  // virtual time of the attempt
  CivilTime local;        // the value asked for, as given
  ClockSetResult result = ClockSetResult::kOk;
};

// The PC's wall clock: true time (a UTC instant at virtual time 0, plus VirtualTime) plus
// whatever the program or a test has stepped it by. The local time is UTC plus a fixed
// offset in minutes. Setting the wall clock never moves VirtualTime, so timers and the
// devices' clocks are untouched.
class VirtualClock : public Clock {
 public:
  VirtualClock(VirtualTime& time, const CivilTime& utcAtZero, int localOffsetMinutes = 0);

  CivilTime UtcNow() override;
  CivilTime LocalNow() override;

  // Moves the wall clock so that the local time now reads `local` (weekday ignored) and
  // logs the attempt. A refused or invalid value changes nothing: kFailed for a date or
  // time of day that does not exist, the chosen refusal after RefuseSets.
  ClockSetResult SetLocal(const CivilTime& local) override;

  // Advances VirtualTime: world events run (bytes move, device clocks go on), the UI
  // timers do not; they fire at the next Yield, their missed ticks coalesced.
  void SleepMicros(std::int64_t micros) override;

  // The PC's wall clock in microseconds since 1970 (UTC).
  std::int64_t UtcEpochMicros() const { return TrueUtcEpochMicros() + wallStepUs_; }
  // The world's true UTC, which no clock setting moves; devices keep time against it.
  std::int64_t TrueUtcEpochMicros() const { return epochAtZeroUs_ + time_.NowUs(); }

  int LocalOffsetMinutes() const { return localOffsetMinutes_; }
  void SetLocalOffsetMinutes(int minutes) { localOffsetMinutes_ = minutes; }

  // kOk accepts sets again; any other value refuses every set with that result.
  void RefuseSets(ClockSetResult result) { refusal_ = result; }
  // Every attempt, refused ones included, in order.
  const std::vector<ClockSetRecord>& SetLog() const { return log_; }
  // Steps the wall clock as someone else would; not in SetLog.
  void StepWallMicros(std::int64_t deltaUs);
  std::int64_t WallStepMicros() const { return wallStepUs_; }

  // What the platform reports, with its notice: someone steps the wall clock; the zone's UTC
  // offset changes (daylight saving time); the PC sleeps for `micros` and wakes (virtual
  // time jumps with the event loop asleep, so its timers miss every tick meanwhile).
  void StepWithNotice(std::int64_t deltaUs);
  void ChangeOffsetWithNotice(int localOffsetMinutes);
  void SleepAndResume(std::int64_t micros);
  // The step in force at a moment of virtual time, so that a log stamped in virtual time
  // can be read on the PC's clock.
  std::int64_t WallStepAtMicros(std::int64_t virtualUs) const;
  std::int64_t SleptMicros() const { return sleptUs_; }
  // Told of every sleep as it begins: virtual time then, and its length.
  void SetSleepHook(std::function<void(std::int64_t startUs, std::int64_t micros)> hook) {
    sleepHook_ = std::move(hook);
  }

 private:
  void GuardAgainstSpin();
  void Stepped(std::int64_t deltaUs);

  VirtualTime& time_;
  std::int64_t epochAtZeroUs_;
  int localOffsetMinutes_;
  std::int64_t wallStepUs_ = 0;
  std::int64_t sleptUs_ = 0;
  std::function<void(std::int64_t, std::int64_t)> sleepHook_;
  ClockSetResult refusal_ = ClockSetResult::kOk;
  std::vector<ClockSetRecord> log_;
  std::vector<std::pair<std::int64_t, std::int64_t>> steps_;  // (virtual time, step from then)
  std::int64_t lastReadUs_ = -1;
  std::int64_t readsWithoutTimePassing_ = 0;
};

}  // namespace horalign::sim
