#include "sim/fault_schedule.h"

namespace horalign::sim {

// splitmix64: every seed, 0 included, gives a full-period stream.
std::uint64_t SimRandom::Next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::int64_t SimRandom::Uniform(std::int64_t lo, std::int64_t hi) {
  return lo + static_cast<std::int64_t>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
}

FaultSchedule::FaultSchedule(World& world, int port, SimDevice& device, std::uint64_t seed,
                             std::int64_t meanGapUs, std::int64_t untilUs)
    : world_(world), port_(port), device_(device), random_(seed) {
  constexpr std::int64_t kScalesUs[] = {1'000'000, 60'000'000, 3'600'000'000};
  constexpr std::size_t kMaxEpisodes = 10'000;
  std::int64_t t = world.time.NowUs();
  while (episodes_.size() < kMaxEpisodes) {
    t += random_.Uniform(0, 2 * meanGapUs);
    // From a twentieth of a second to three hours, on three scales.
    const std::int64_t length = random_.Uniform(1, 59) * kScalesUs[random_.Uniform(0, 2)] / 20;
    if (t + length >= untilUs) break;
    const auto kind = static_cast<FaultKind>(random_.Uniform(0, 5));
    episodes_.push_back({kind, t, t + length});
    world.time.At(t, [this, kind, end = t + length] { Begin(kind, end); });
    world.time.At(t + length, [this] { End(); });
    t += length;
  }
}

std::string FaultSchedule::Noise() {
  std::string bytes(static_cast<std::size_t>(random_.Uniform(1, 12)), ' ');
  for (char& c : bytes) c = static_cast<char>(random_.Uniform(14, 255));
  return bytes;
}

void FaultSchedule::Begin(FaultKind kind, std::int64_t endUs) {
  saved_ = device_.Config();
  SimDeviceConfig& c = device_.Config();
  switch (kind) {
    case FaultKind::kSilence:
      c.silent = true;
      break;
    case FaultKind::kLateReplies:
      c.replyDelayUs = random_.Uniform(100'000, 10'000'000);
      break;
    case FaultKind::kHalfReplies:
      c.missingCr = true;
      break;
    case FaultKind::kNoise:
      device_.SendRaw(Noise());
      c.garbageBeforeReply = Noise();
      break;
    case FaultKind::kUnplugged:
      world_.serial.Unplug(port_);
      device_.Hear(0, true);
      break;
    case FaultKind::kStaleInput:
      SendStale(endUs);
      break;
  }
}

void FaultSchedule::End() {
  device_.Config() = saved_;
  world_.serial.Replug(port_);
}

void FaultSchedule::SendStale(std::int64_t endUs) {
  if (!world_.serial.IsOpen(port_)) {
    device_.SendRaw(device_.Sent().empty() ? "*\r" : device_.Sent().back().text);
  }
  const std::int64_t next = world_.time.NowUs() + random_.Uniform(1'000'000, 10'000'000);
  if (next < endUs) world_.time.At(next, [this, endUs] { SendStale(endUs); });
}

}  // namespace horalign::sim
