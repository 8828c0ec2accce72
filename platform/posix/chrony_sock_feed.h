#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/platform/time_daemon_feed.h"

namespace horalign {

// The time daemon's SOCK reference clock: each sample is one datagram of the daemon's
// sample structure on the Unix datagram socket it bound. Nothing is retried; every outcome
// is counted, and a change of outcome is told once (with the reason of a failure).
class ChronySockFeed final : public TimeDaemonFeed {
 public:
  // `path`: read at every sample, so a reload's new path takes effect at the next one.
  ChronySockFeed(std::function<std::string()> path,
                 std::function<void(FeedResult, const std::string& why)> onChange);
  ~ChronySockFeed() override;
  ChronySockFeed(const ChronySockFeed&) = delete;
  ChronySockFeed& operator=(const ChronySockFeed&) = delete;

  FeedResult Send(const TimeDaemonSample& sample) override;
  std::uint64_t Count(FeedResult result) const { return counts_[static_cast<std::size_t>(result)]; }

 private:
  std::function<std::string()> path_;
  std::function<void(FeedResult, const std::string&)> onChange_;
  int fd_ = -1;
  std::array<std::uint64_t, 4> counts_{};
  std::optional<FeedResult> last_;
};

// The datagram for a sample as the daemon reads it (host byte order and layout).
std::string ChronySockDatagram(const TimeDaemonSample& sample);

}  // namespace horalign
