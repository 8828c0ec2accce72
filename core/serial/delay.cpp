#include "core/serial/delay.h"

namespace horalign {
namespace {

// The counter steps through kDelayTicksMax distinct values, so that is its period.
constexpr std::int64_t kPeriod = kDelayTicksMax;

// Position of a counter value on the cycle: 0 (before the first tick) and kDelayTicksMax
// both precede 1.
std::int64_t Position(std::int32_t value) {
  return value % kPeriod;
}

}  // namespace

void AdvanceDelayTicks(std::int32_t& delayTicks) {
  if (delayTicks == kDelayTicksMax) delayTicks = 0;
  ++delayTicks;
}

void clsDelay::InitDelay(const std::int32_t& ticks) {
  expired_ = false;
  start_ = delayTicks_;
  ticks_ = ticks;
}

std::int32_t clsDelay::Elapsed() const {
  const std::int64_t diff = Position(delayTicks_) - Position(start_);
  return static_cast<std::int32_t>(diff < 0 ? diff + kPeriod : diff);
}

std::int32_t clsDelay::CurrentValue() {
  currentValue_ = Elapsed();
  return currentValue_;
}

void clsDelay::SetCurrentValue(std::int32_t value) {
  // Wrapped onto the counter's cycle, as the sum may not fit 32 bits.
  currentValue_ = static_cast<std::int32_t>((std::int64_t{start_} + value) % kPeriod);
}

bool clsDelay::DelayExpired() {
  // Elapsed never exceeds kPeriod - 1; a negative count expires at once.
  if (Elapsed() > ticks_) expired_ = true;
  return expired_;
}

}  // namespace horalign
