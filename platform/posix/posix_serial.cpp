#include "platform/posix/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "core/serial/line_settings.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"

namespace horalign {
namespace {

using SteadyClock = std::chrono::steady_clock;

#ifdef CMSPAR
constexpr tcflag_t kMarkSpace = CMSPAR;
#else
constexpr tcflag_t kMarkSpace = 0;
#endif
#ifdef CRTSCTS
constexpr tcflag_t kHardwareFlow = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlow = 0;
#endif
// The bits of c_cflag that carry the line settings, compared after applying them.
constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CSTOPB | kMarkSpace;

std::optional<speed_t> SpeedFor(int baud) {
  static constexpr std::pair<int, speed_t> kSpeeds[] = {
      {50, B50},         {75, B75},     {110, B110},   {134, B134},     {150, B150},
      {200, B200},       {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
      {2400, B2400},     {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
      {57600, B57600},
#endif
#ifdef B115200
      {115200, B115200},
#endif
#ifdef B230400
      {230400, B230400},
#endif
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B921600
      {921600, B921600},
#endif
  };
  for (const auto& [rate, speed] : kSpeeds) {
    if (rate == baud) return speed;
  }
  return std::nullopt;
}

std::optional<tcflag_t> SizeBits(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      return std::nullopt;
  }
}

std::optional<tcflag_t> ParityBits(char parity) {
  switch (parity) {
    case 'N':
      return tcflag_t{0};
    case 'E':
      return tcflag_t{PARENB};
    case 'O':
      return tcflag_t{PARENB | PARODD};
    // Mark and space need the stick-parity bit; without it the port cannot take them.
    case 'M':
      return kMarkSpace ? std::optional<tcflag_t>(PARENB | PARODD | kMarkSpace) : std::nullopt;
    case 'S':
      return kMarkSpace ? std::optional<tcflag_t>(PARENB | kMarkSpace) : std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<termios> RawLineTermios(const termios& base, const LineSettings& line) {
  const auto speed = SpeedFor(line.baud);
  const auto size = SizeBits(line.dataBits);
  const auto parity = ParityBits(line.parity);
  if (!speed || !size || !parity) return std::nullopt;

  termios tio = base;
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~(kLineBits | kHardwareFlow);
  tio.c_cflag |= *size | *parity | (line.stopBits == 2 ? CSTOPB : 0) | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) return std::nullopt;
  return tio;
}

namespace {

// tcsetattr succeeds when any part of the change took, so read back what the port kept.
bool ApplyLine(int fd, const termios& wanted) {
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) return false;
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  return cfgetospeed(&now) == cfgetospeed(&wanted) &&
         (now.c_cflag & kLineBits) == (wanted.c_cflag & kLineBits);
}

// Opens the terminal at `path` and holds it against every other opener; -1 on failure.
int AcquirePort(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // flock keeps out other programs, root included; TIOCEXCL also keeps out plain opens of
  // programs without root, which do not look at locks.
  if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

bool ReleasePort(int fd) {
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  return ::close(fd) == 0;
}

int MsUntil(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1'000'000'000));
}

// Waits until the driver has put every byte on the line, or the deadline has passed.
void DrainUntil(int fd, SteadyClock::time_point deadline) {
  while (true) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    if (SteadyClock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string Trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string PortPathFromRegistry(RegistryStore& store, int port) {
  if (port < 1) return {};
  const auto value = store.Query(kPortsKey, ComName(port));
  if (value && value->type == kRegSz) {
    const auto end = std::find(value->data.begin(), value->data.end(), std::uint8_t{0});
    std::string path = Trimmed(std::string(value->data.begin(), end));
    if (!path.empty()) return path;
  }
  return "/dev/ttyS" + std::to_string(port - 1);
}

PortPathResolver MakeRegistryPortResolver(RegistryStore& store) {
  return [&store](int port) { return PortPathFromRegistry(store, port); };
}

PosixSerialBackend::PosixSerialBackend(PortPathResolver resolvePath)
    : resolvePath_(std::move(resolvePath)) {}

PosixSerialBackend::~PosixSerialBackend() {
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    if (ports_[i]) CommClose(static_cast<CommHandle>(i + 1), CommTimeouts{});
  }
}

PosixSerialBackend::OpenPort* PosixSerialBackend::Find(CommHandle handle) {
  if (handle < 1 || handle > static_cast<CommHandle>(ports_.size())) return nullptr;
  auto& slot = ports_[static_cast<std::size_t>(handle - 1)];
  return slot ? &*slot : nullptr;
}

CommHandle PosixSerialBackend::Store(const OpenPort& port) {
  auto free = std::find(ports_.begin(), ports_.end(), std::nullopt);
  if (free == ports_.end()) free = ports_.insert(ports_.end(), std::nullopt);
  *free = port;
  return static_cast<CommHandle>(free - ports_.begin()) + 1;
}

bool PosixSerialBackend::CommOpen(int port, const std::string& settings,
                                  const CommTimeouts& timeouts, CommHandle& handle,
                                  CommTimeouts& saved) {
  handle = 0;
  saved = CommTimeouts{};
  const auto line = ParseLineSettings(settings);
  if (!line || !resolvePath_) return false;
  const std::string path = resolvePath_(port);
  if (path.empty()) return false;

  OpenPort entry;
  entry.writeMultiplierMs = timeouts.writeTotalTimeoutMultiplier;
  entry.writeConstantMs = timeouts.writeTotalTimeoutConstant;
  entry.fd = AcquirePort(path);
  if (entry.fd < 0) return false;
  if (tcgetattr(entry.fd, &entry.previous) != 0) {
    ReleasePort(entry.fd);
    return false;
  }
  const auto raw = RawLineTermios(entry.previous, *line);
  if (!raw || !ApplyLine(entry.fd, *raw)) {
    tcsetattr(entry.fd, TCSANOW, &entry.previous);
    ReleasePort(entry.fd);
    return false;
  }
  handle = Store(entry);
  if (onOpen) onOpen(entry.fd);
  return true;
}

bool PosixSerialBackend::CommClose(CommHandle handle, const CommTimeouts& /*saved*/) {
  OpenPort* port = Find(handle);
  if (!port) return false;
  tcsetattr(port->fd, TCSANOW, &port->previous);
  if (onClose) onClose(port->fd);
  const bool closed = ReleasePort(port->fd);
  ports_[static_cast<std::size_t>(handle - 1)].reset();
  return closed;
}

std::string PosixSerialBackend::CommRead(CommHandle handle, int maxBytes) {
  OpenPort* port = Find(handle);
  if (!port || maxBytes <= 0) return {};
  std::string bytes(static_cast<std::size_t>(maxBytes), '\0');
  ssize_t n;
  do {
    n = ::read(port->fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

int PosixSerialBackend::CommWrite(CommHandle handle, std::string_view bytes) {
  OpenPort* port = Find(handle);
  if (!port || bytes.empty()) return 0;
  const auto budget = std::chrono::milliseconds(
      static_cast<std::int64_t>(bytes.size()) * port->writeMultiplierMs + port->writeConstantMs);
  const auto deadline = SteadyClock::now() + budget;

  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(port->fd, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    const int waitMs = MsUntil(deadline);
    if (waitMs == 0) break;
    pollfd room{port->fd, POLLOUT, 0};
    if (::poll(&room, 1, waitMs) < 0 && errno != EINTR) break;
  }
  port->flushDeadline = deadline;
  CommFlush(handle);
  return static_cast<int>(sent);
}

void PosixSerialBackend::CommFlush(CommHandle handle) {
  if (OpenPort* port = Find(handle)) DrainUntil(port->fd, port->flushDeadline);
}

void PosixSerialBackend::CommPurgeInput(CommHandle handle) {
  if (OpenPort* port = Find(handle)) tcflush(port->fd, TCIFLUSH);
}

void PosixSerialBackend::CommPurgeOutput(CommHandle handle) {
  if (OpenPort* port = Find(handle)) tcflush(port->fd, TCOFLUSH);
}

int PosixSerialBackend::CommInputCount(CommHandle handle) {
  OpenPort* port = Find(handle);
  int count = 0;
  if (!port || ::ioctl(port->fd, FIONREAD, &count) != 0) return 0;
  return count;
}

}  // namespace horalign
