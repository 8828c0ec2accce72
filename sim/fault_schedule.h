#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/world.h"

namespace horalign::sim {

// A small random source that gives the same numbers for a seed with every compiler and
// standard library (the standard distributions do not promise that).
class SimRandom {
 public:
  explicit SimRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // A whole number from lo to hi, both included.
  std::int64_t Uniform(std::int64_t lo, std::int64_t hi);

 private:
  std::uint64_t state_;
};

enum class FaultKind { kSilence, kLateReplies, kHalfReplies, kNoise, kUnplugged, kStaleInput };

struct FaultEpisode {
  FaultKind kind = FaultKind::kSilence;
  std::int64_t startUs = 0;
  std::int64_t endUs = 0;
};

// Random faults of one device, one episode at a time, planned from a seed up to a time and
// played as world events, so they strike whatever the program is doing, mid-command too.
// An episode ends by putting the device and its cable back as they were.
// - silence: the device hears commands and does not answer;
// - late replies: every reply comes 0.1 to 10 s after its command;
// - half replies: replies lack their CR;
// - noise: a burst of random bytes (never a CR), and more of them ahead of every reply;
// - unplugged: the cable is out, and the device hears the break;
// - stale input: every few seconds while the PC's port is closed, the device sends its
//   last line again (an acknowledge when it sent none), which waits there for the next open.
class FaultSchedule {
 public:
  FaultSchedule(World& world, int port, SimDevice& device, std::uint64_t seed,
                std::int64_t meanGapUs, std::int64_t untilUs);
  FaultSchedule(const FaultSchedule&) = delete;
  FaultSchedule& operator=(const FaultSchedule&) = delete;

  const std::vector<FaultEpisode>& Episodes() const { return episodes_; }

 private:
  void Begin(FaultKind kind, std::int64_t endUs);
  void End();
  void SendStale(std::int64_t endUs);
  std::string Noise();

  World& world_;
  int port_;
  SimDevice& device_;
  SimRandom random_;
  SimDeviceConfig saved_;
  std::vector<FaultEpisode> episodes_;
};

}  // namespace horalign::sim
