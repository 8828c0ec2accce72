#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>

#include "core/serial/line_settings.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

// Bits one character occupies on the line: start bit, data bits, parity bit, stop bits.
int BitsPerByte(const LineSettings& line);

// One direction of a serial line: queued bytes leave one after another at the sender's
// speed. Byte k of a burst that started at s ends at s + (k + 1) * bits * 1e6 / baud
// microseconds, computed from the burst start each time so that fractions never add up.
class SimTransmitter {
 public:
  // Called once per byte as its stop bit ends.
  using Deliver = std::function<void(std::uint8_t byte, std::int64_t startUs, std::int64_t endUs)>;

  SimTransmitter(VirtualTime& time, Deliver deliver);
  ~SimTransmitter();
  SimTransmitter(const SimTransmitter&) = delete;
  SimTransmitter& operator=(const SimTransmitter&) = delete;

  // The speed and framing of the next burst; a burst in progress keeps its own.
  void SetLine(const LineSettings& line) { line_ = line; }

  // Queues the bytes and returns the time the last queued byte will have left.
  std::int64_t Send(std::string_view bytes);

  // The time at which `count` more bytes would have left if queued now.
  std::int64_t EndUsIfQueued(std::int64_t count) const;

  // Drops the queued bytes that have not started; the byte on the line finishes.
  void Purge();

  bool Idle() const { return queue_.empty(); }
  std::size_t Queued() const { return queue_.size(); }

 private:
  std::int64_t ByteEndUs(std::int64_t index) const;
  void OnByteDone();

  VirtualTime& time_;
  Deliver deliver_;
  LineSettings line_;
  LineSettings burstLine_;
  std::deque<std::uint8_t> queue_;  // front: the byte on the line
  std::int64_t burstStartUs_ = 0;
  std::int64_t sentInBurst_ = 0;
  EventId pending_;
};

}  // namespace horalign::sim
