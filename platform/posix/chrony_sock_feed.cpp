#include "platform/posix/chrony_sock_feed.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace horalign {
namespace {

// The layout the daemon's refclock_sock.c reads; magic "SOCK".
struct SockSample {
  timeval tv;
  double offset;
  int pulse;
  int leap;
  int pad;
  int magic;
};
constexpr int kSockMagic = 0x534f434b;

FeedResult Classify(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
      return FeedResult::kNoDaemon;
    case EACCES:
    case EPERM:
    case EAGAIN:
    case ENOBUFS:
      return FeedResult::kRefused;
    default:
      return FeedResult::kFailed;
  }
}

}  // namespace

std::string ChronySockDatagram(const TimeDaemonSample& sample) {
  SockSample s{};
  // Floor division, so that an instant before 1970 keeps its microseconds positive.
  std::int64_t seconds = sample.pcUtcMicros / 1'000'000;
  std::int64_t micros = sample.pcUtcMicros % 1'000'000;
  if (micros < 0) micros += 1'000'000, --seconds;
  s.tv.tv_sec = static_cast<time_t>(seconds);
  s.tv.tv_usec = static_cast<suseconds_t>(micros);
  s.offset = sample.offsetSeconds;
  s.leap = sample.leap;
  s.magic = kSockMagic;
  return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

ChronySockFeed::ChronySockFeed(std::function<std::string()> path,
                               std::function<void(FeedResult, const std::string&)> onChange)
    : path_(std::move(path)), onChange_(std::move(onChange)) {}

ChronySockFeed::~ChronySockFeed() {
  if (fd_ >= 0) ::close(fd_);
}

FeedResult ChronySockFeed::Send(const TimeDaemonSample& sample) {
  const std::string path = path_();
  FeedResult result = FeedResult::kSent;
  std::string why;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    result = FeedResult::kFailed;
    why = "the socket's path does not fit a socket address";
  } else {
    if (fd_ < 0) fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::memcpy(address.sun_path, path.data(), path.size());
    const std::string datagram = ChronySockDatagram(sample);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (fd_ < 0 || ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), length) < 0) {
      const int error = errno;
      result = Classify(error);
      why = std::strerror(error);
    }
  }
  ++counts_[static_cast<std::size_t>(result)];
  if (last_ != result) {
    last_ = result;
    if (onChange_) onChange_(result, why);
  }
  return result;
}

}  // namespace horalign
