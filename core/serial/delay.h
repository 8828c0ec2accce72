#pragma once

#include <cstdint>

namespace horalign {

// The largest value of the program-wide tick counter; the tick after it is 1 again.
inline constexpr std::int32_t kDelayTicksMax = 2147483647;

// One 50 ms tick of the program-wide counter: 1, 2, ... kDelayTicksMax, 1, ... (it starts at
// 0 and never holds 0 again after the first tick).
void AdvanceDelayTicks(std::int32_t& delayTicks);

// A countdown in ticks of the program-wide counter, polled by waiting loops that yield
// between checks. It only reads the counter when asked; nothing runs inside it.
//
// Across the wrap of the counter, elapsed ticks are counted modulo the counter's period
// (kDelayTicksMax values; 0 before the first tick stands where kDelayTicksMax does), so a
// delay that spans the wrap lasts exactly as long as any other. A delay of kDelayTicksMax - 1
// ticks or more therefore never expires on its own.
class clsDelay {
 public:
  explicit clsDelay(const std::int32_t& delayTicks) : delayTicks_(delayTicks) {}
  // The counter is kept by reference: a temporary would be gone before the first poll.
  explicit clsDelay(const std::int32_t&&) = delete;

  // Arms the delay: not expired, counting from the counter's present value.
  void InitDelay(const std::int32_t& ticks);

  // Ticks elapsed since InitDelay; also kept as the current value.
  std::int32_t CurrentValue();
  // Keeps the value plus the arming point as the current value.
  void SetCurrentValue(std::int32_t value);

  // True once the counter has gone strictly past the arming point plus the armed ticks, so
  // a delay of n ticks expires at the (n+1)th tick. Stays true until armed again.
  bool DelayExpired();
  void SetDelayExpired(bool expired) { expired_ = expired; }

 private:
  std::int32_t Elapsed() const;

  const std::int32_t& delayTicks_;
  std::int32_t start_ = 0;
  std::int32_t ticks_ = 0;
  bool expired_ = false;
  std::int32_t currentValue_ = 0;
};

}  // namespace horalign
