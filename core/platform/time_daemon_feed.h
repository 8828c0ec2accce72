#pragma once

#include <cstdint>

namespace horalign {

// One reading of a time source handed to the system's time daemon instead of stepping the
// PC clock: when it was taken on the PC's clock, and how far the source's time was from it.
struct TimeDaemonSample {
  std::int64_t pcUtcMicros = 0;  // the PC's UTC clock at the instant the reading names
  double offsetSeconds = 0;      // the source's time minus the PC's, at that instant
  int leap = 0;                  // 0: none announced, 1: a second inserted, 2: one deleted
  friend bool operator==(const TimeDaemonSample&, const TimeDaemonSample&) = default;
};

enum class FeedResult {
  kSent,
  kNoDaemon,  // nothing listens at the socket (missing, or nobody bound it)
  kRefused,   // the daemon's socket would not take it (no right, queue full)
  kFailed,    // any other error
};

// The time daemon's reference-clock socket. Send never blocks and never retries: a sample
// the daemon does not take is gone, and the next reading brings a fresh one.
class TimeDaemonFeed {
 public:
  virtual ~TimeDaemonFeed() = default;
  virtual FeedResult Send(const TimeDaemonSample& sample) = 0;
};

}  // namespace horalign
