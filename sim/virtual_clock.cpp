#include "sim/virtual_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "core/util/civil.h"

namespace horalign::sim {

namespace {
// A loop that reads the clock this often without time passing can never see it change.
constexpr std::int64_t kSpinReadLimit = 1'000'000;
}  // namespace

VirtualClock::VirtualClock(VirtualTime& time, const CivilTime& utcAtZero, int localOffsetMinutes)
    : time_(time),
      epochAtZeroUs_(ToEpochMicros(utcAtZero)),
      localOffsetMinutes_(localOffsetMinutes) {}

void VirtualClock::GuardAgainstSpin() {
  if (time_.NowUs() != lastReadUs_) {
    lastReadUs_ = time_.NowUs();
    readsWithoutTimePassing_ = 0;
    return;
  }
  if (++readsWithoutTimePassing_ > kSpinReadLimit) {
    std::fprintf(stderr,
                 "VirtualClock: the clock was read %lld times while virtual time stood still; "
                 "a busy wait must sleep or yield\n",
                 static_cast<long long>(kSpinReadLimit));
    std::abort();
  }
}

CivilTime VirtualClock::UtcNow() {
  GuardAgainstSpin();
  return FromEpochMicros(UtcEpochMicros());
}

CivilTime VirtualClock::LocalNow() {
  GuardAgainstSpin();
  return FromEpochMicros(UtcEpochMicros() + std::int64_t{localOffsetMinutes_} * 60'000'000);
}

ClockSetResult VirtualClock::SetLocal(const CivilTime& local) {
  ClockSetResult result = refusal_;
  if (result == ClockSetResult::kOk && (!IsValidDate(local.year, local.month, local.day) ||
                                        !IsValidTimeOfDay(local.hour, local.minute, local.second) ||
                                        local.micro < 0 || local.micro > 999'999)) {
    result = ClockSetResult::kFailed;
  }
  log_.push_back({time_.NowUs(), local, result});
  if (result != ClockSetResult::kOk) return result;
  const std::int64_t wantedUtc =
      ToEpochMicros(local) - std::int64_t{localOffsetMinutes_} * 60'000'000;
  Stepped(wantedUtc - UtcEpochMicros());
  return result;
}

void VirtualClock::StepWallMicros(std::int64_t deltaUs) {
  Stepped(deltaUs);
}

void VirtualClock::StepWithNotice(std::int64_t deltaUs) {
  Stepped(deltaUs);
  NoticeJump({TimeJumpCause::kStep, deltaUs});
}

void VirtualClock::ChangeOffsetWithNotice(int localOffsetMinutes) {
  localOffsetMinutes_ = localOffsetMinutes;
  NoticeJump({TimeJumpCause::kOffsetChange});
}

void VirtualClock::SleepAndResume(std::int64_t micros) {
  time_.AdvanceTo(time_.NowUs() + micros);
  NoticeJump({TimeJumpCause::kResume});
}

void VirtualClock::Stepped(std::int64_t deltaUs) {
  wallStepUs_ += deltaUs;
  steps_.emplace_back(time_.NowUs(), wallStepUs_);
}

std::int64_t VirtualClock::WallStepAtMicros(std::int64_t virtualUs) const {
  const auto after = std::upper_bound(steps_.begin(), steps_.end(), virtualUs,
                                      [](std::int64_t us, const auto& s) { return us < s.first; });
  return after == steps_.begin() ? 0 : std::prev(after)->second;
}

void VirtualClock::SleepMicros(std::int64_t micros) {
  if (micros <= 0) return;
  if (sleepHook_) sleepHook_(time_.NowUs(), micros);
  sleptUs_ += micros;
  time_.AdvanceTo(time_.NowUs() + micros);
}

}  // namespace horalign::sim
