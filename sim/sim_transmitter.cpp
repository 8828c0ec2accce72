#include "sim/sim_transmitter.h"

#include <utility>

namespace horalign::sim {

int BitsPerByte(const LineSettings& line) {
  return 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
}

SimTransmitter::SimTransmitter(VirtualTime& time, Deliver deliver)
    : time_(time), deliver_(std::move(deliver)) {}

SimTransmitter::~SimTransmitter() {
  time_.Cancel(pending_);
}

std::int64_t SimTransmitter::ByteEndUs(std::int64_t index) const {
  return burstStartUs_ +
         (index + 1) * BitsPerByte(burstLine_) * std::int64_t{1'000'000} / burstLine_.baud;
}

std::int64_t SimTransmitter::EndUsIfQueued(std::int64_t count) const {
  if (queue_.empty()) {
    return time_.NowUs() + count * BitsPerByte(line_) * std::int64_t{1'000'000} / line_.baud;
  }
  return ByteEndUs(sentInBurst_ + static_cast<std::int64_t>(queue_.size()) + count - 1);
}

std::int64_t SimTransmitter::Send(std::string_view bytes) {
  if (bytes.empty()) return EndUsIfQueued(0);
  const bool startBurst = queue_.empty();
  for (char c : bytes) queue_.push_back(static_cast<std::uint8_t>(c));
  if (startBurst) {
    burstLine_ = line_;
    burstStartUs_ = time_.NowUs();
    sentInBurst_ = 0;
    pending_ = time_.At(ByteEndUs(0), [this] { OnByteDone(); });
  }
  return ByteEndUs(sentInBurst_ + static_cast<std::int64_t>(queue_.size()) - 1);
}

void SimTransmitter::Purge() {
  if (queue_.size() > 1) queue_.resize(1);
}

void SimTransmitter::OnByteDone() {
  pending_ = {};
  const std::uint8_t byte = queue_.front();
  queue_.pop_front();
  const std::int64_t startUs = sentInBurst_ == 0 ? burstStartUs_ : ByteEndUs(sentInBurst_ - 1);
  const std::int64_t endUs = ByteEndUs(sentInBurst_);
  ++sentInBurst_;
  // The queue is settled before delivering, so the receiver may answer on this line.
  if (!queue_.empty()) pending_ = time_.At(ByteEndUs(sentInBurst_), [this] { OnByteDone(); });
  deliver_(byte, startUs, endUs);
}

}  // namespace horalign::sim
