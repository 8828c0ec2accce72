#include "sim/devsim_server.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/settings/com_ports.h"
#include "core/util/civil.h"
#include "sim/devsim_pty.h"
#include "sim/sim_serial.h"
#include "sim/sim_transmitter.h"

namespace horalign::sim {

namespace {

constexpr char kPortsKey[] = "Software\\Quorvane\\Horalign\\Ports";

std::int64_t ReadClockUs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// Seconds east of UTC of the machine's local time at that instant.
std::int64_t LocalOffsetSeconds(std::int64_t epochUs) {
  const time_t seconds = static_cast<time_t>(epochUs / 1'000'000);
  tm local{};
  localtime_r(&seconds, &local);
  return local.tm_gmtoff;
}

std::string SettingsText(const LineSettings& line) {
  return std::to_string(line.baud) + ',' + line.parity + ',' + std::to_string(line.dataBits) + ',' +
         std::to_string(line.stopBits);
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal";
  }
}

}  // namespace

struct DevsimServer::Served {
  DevsimDevice desc;
  std::unique_ptr<SimDevice> device;
  bool keepsUtc = false;
  PtyPair pty;
  int generation = 0;  // bumped at every plug, so a stale poll result is not read
  // The frame being heard: arrival of its first byte.
  std::optional<std::int64_t> frameStartUs;
  std::size_t commandsLogged = 0;
  std::size_t clockSetsLogged = 0;
  // The output being sent, logged at its CR or after a pause.
  std::string sent;
  std::int64_t sentStartUs = 0;
  bool sentGarbled = false;
  EventId flush;
};

DevsimServer::DevsimServer(const DevsimOptions& options, DevsimLog& log, RegistryStore* ports)
    : log_(log),
      ports_(ports),
      monoStartUs_(ReadClockUs(CLOCK_MONOTONIC)),
      realAtSync_(ReadClockUs(CLOCK_REALTIME)),
      clock_(time_, FromEpochMicros(realAtSync_),
             static_cast<int>(LocalOffsetSeconds(realAtSync_) / 60)) {
  for (const DevsimDevice& desc : options.devices) {
    auto s = std::make_unique<Served>();
    s->desc = desc;
    s->device = std::make_unique<SimDevice>(time_, clock_, desc.config);
    s->keepsUtc = desc.config.keepsUtc.value_or(LetterKeepsUtc(desc.config.letter));
    Served& ref = *s;
    s->device->SetOutput(
        [this, &ref](std::uint8_t byte, std::int64_t, std::int64_t) { OnDeviceByte(ref, byte); });
    served_.push_back(std::move(s));
  }
}

DevsimServer::~DevsimServer() = default;

bool DevsimServer::Start(std::string& error) {
  Sync();
  for (auto& s : served_) {
    if (!Plug(*s, error)) return false;
    if (!s->desc.unplugAfterSeconds) continue;
    Served& ref = *s;
    time_.After(std::llround(*s->desc.unplugAfterSeconds * 1e6), [this, &ref] { Unplug(ref); });
  }
  return true;
}

std::vector<std::string> DevsimServer::Summary() const {
  std::vector<std::string> lines;
  for (const auto& s : served_) {
    lines.push_back(ComName(s->desc.com) + ' ' + s->pty.SlavePath() + ' ' +
                    DevsimModelName(s->desc.config) + ' ' + s->desc.config.serial + ' ' +
                    s->desc.config.settings);
  }
  return lines;
}

bool DevsimServer::Plug(Served& s, std::string& error) {
  if (!s.pty.Open(s.device->Line(), error)) return false;
  ++s.generation;
  s.frameStartUs.reset();
  const DevsimDevice& desc = s.desc;
  // The mapping first: a reader of the log may open the port as soon as it sees the line.
  if (ports_ != nullptr && !ports_->SetString(kPortsKey, ComName(desc.com), s.pty.SlavePath())) {
    error = "cannot write the Ports mapping of COM" + std::to_string(desc.com);
    return false;
  }
  log_.Write(
      realAtSync_, desc.com, "PORT",
      {s.pty.SlavePath(), DevsimModelName(desc.config), desc.config.serial, desc.config.settings});
  return true;
}

// The cable is pulled: the program's descriptor of the slave hangs up, and whatever the
// device sends meanwhile is lost.
void DevsimServer::Unplug(Served& s) {
  log_.Write(realAtSync_, s.desc.com, "UNPLUG", {s.pty.SlavePath()});
  s.pty.Close();
  if (!s.desc.unplugForSeconds) return;
  time_.After(std::llround(*s.desc.unplugForSeconds * 1e6), [this, &s] { Replug(s); });
}

void DevsimServer::Replug(Served& s) {
  std::string error;
  if (!Plug(s, error))
    std::fprintf(stderr, "horalign-devsim: COM%d: %s\n", s.desc.com, error.c_str());
}

// Reads both clocks and runs every event that is due by now.
void DevsimServer::Sync() {
  const std::int64_t mono = ReadClockUs(CLOCK_MONOTONIC);
  realAtSync_ = ReadClockUs(CLOCK_REALTIME);
  virtualAtSync_ = std::max(mono - monoStartUs_, time_.NowUs());
  time_.AdvanceTo(virtualAtSync_);
  clock_.StepWallMicros(realAtSync_ - clock_.UtcEpochMicros());
}

std::int64_t DevsimServer::RealUsAt(std::int64_t virtualUs) const {
  return realAtSync_ + (virtualUs - virtualAtSync_);
}

// Microseconds until the next event, or -1 for none.
std::int64_t DevsimServer::WaitUs() const {
  const std::int64_t next = time_.NextEventUs();
  if (next < 0) return -1;
  return std::max<std::int64_t>(0, next - (ReadClockUs(CLOCK_MONOTONIC) - monoStartUs_));
}

int DevsimServer::Run(int stopFd) {
  std::vector<pollfd> fds;
  std::vector<std::pair<Served*, int>> polled;  // the device and its generation per master
  while (true) {
    fds.assign(1, pollfd{stopFd, POLLIN, 0});
    polled.clear();
    for (auto& s : served_) {
      if (!s->pty.IsOpen()) continue;
      fds.push_back(pollfd{s->pty.Master(), POLLIN, 0});
      polled.emplace_back(s.get(), s->generation);
    }
    const std::int64_t waitUs = WaitUs();
    const timespec wait{static_cast<time_t>(waitUs / 1'000'000),
                        static_cast<long>(waitUs % 1'000'000) * 1000};
    const int ready = ppoll(fds.data(), fds.size(), waitUs < 0 ? nullptr : &wait, nullptr);
    if (ready < 0 && errno != EINTR) return -1;
    Sync();
    if (ready <= 0) continue;
    if (fds[0].revents != 0) {
      unsigned char signal = 0;
      (void)!read(stopFd, &signal, 1);
      log_.Write(ReadClockUs(CLOCK_REALTIME), 0, "STOP", {SignalName(signal)});
      return signal;
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      auto [s, generation] = polled[i];
      if (fds[i + 1].revents != 0 && s->generation == generation && s->pty.IsOpen()) {
        ReadMaster(*s);
      }
    }
  }
}

void DevsimServer::ReadMaster(Served& s) {
  char buffer[4096];
  while (true) {
    const ssize_t n = read(s.pty.Master(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // The pair broke although the slave is held: drop it rather than poll it for ever.
      log_.Write(realAtSync_, s.desc.com, "UNPLUG", {s.pty.SlavePath()});
      s.pty.Close();
      return;
    }
    Feed(s, std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

// Hands the bytes to the device as a serial line would: at a speed or framing other than
// the device's, each arrives scrambled and breaks the frame being heard.
void DevsimServer::Feed(Served& s, std::string_view bytes) {
  const std::optional<LineSettings> port = s.pty.SlaveLine();
  if (!port || *port != s.device->Line()) {
    for (const char c : bytes) s.device->Hear(Scramble(static_cast<std::uint8_t>(c)), true);
    s.frameStartUs.reset();
    log_.Write(realAtSync_, s.desc.com, "NOISE",
               {std::to_string(bytes.size()), port ? SettingsText(*port) : "unknown"});
    return;
  }
  for (const char c : bytes) {
    if (!s.frameStartUs) s.frameStartUs = realAtSync_;
    s.device->Hear(static_cast<std::uint8_t>(c), false);
    LogTaken(s);
  }
}

// Logs the frames the device took and the clock settings they made since the last call.
void DevsimServer::LogTaken(Served& s) {
  const auto& commands = s.device->Commands();
  for (; s.commandsLogged < commands.size(); ++s.commandsLogged) {
    const DeviceCommand& c = commands[s.commandsLogged];
    const std::int64_t first = s.frameStartUs.value_or(RealUsAt(c.atUs));
    s.frameStartUs.reset();
    log_.Write(RealUsAt(c.atUs), s.desc.com, "FRAME",
               {IsoUtcMicros(first), MillisPastSecond(first), EscapeBytes(c.line)});
  }
  const auto& sets = s.device->ClockSets();
  for (; s.clockSetsLogged < sets.size(); ++s.clockSetsLogged) {
    const DeviceClockSet& set = sets[s.clockSetsLogged];
    const std::int64_t realUs = RealUsAt(set.atUs);
    const std::int64_t pcUs = s.keepsUtc ? realUs : realUs + LocalOffsetSeconds(realUs) * 1'000'000;
    const std::int64_t deviceUs = ToEpochMicros(set.value);
    log_.Write(
        realUs, s.desc.com, "CLOCK",
        {EscapeBytes(set.command), IsoMillis(deviceUs, s.keepsUtc), MillisText(deviceUs - pcUs)});
  }
}

// A byte has left the device (its stop bit has ended): it reaches the program now.
void DevsimServer::OnDeviceByte(Served& s, std::uint8_t byte) {
  if (!s.pty.IsOpen()) return;
  const std::optional<LineSettings> port = s.pty.SlaveLine();
  const bool garbled = !port || *port != s.device->Line();
  const std::uint8_t out = garbled ? Scramble(byte) : byte;
  // A full input queue on the program's side drops the byte, as an overrun would.
  (void)!write(s.pty.Master(), &out, 1);
  if (s.sent.empty()) {
    s.sentStartUs = realAtSync_;
    s.sentGarbled = false;
  }
  s.sent += static_cast<char>(byte);
  s.sentGarbled = s.sentGarbled || garbled;
  time_.Cancel(s.flush);
  if (byte == '\r') {
    FlushSent(s);
    return;
  }
  // A pause of three characters ends a reply that has no CR.
  const LineSettings line = s.device->Line();
  const std::int64_t pauseUs = 3 * BitsPerByte(line) * std::int64_t{1'000'000} / line.baud;
  s.flush = time_.After(pauseUs, [this, &s] { FlushSent(s); });
}

void DevsimServer::FlushSent(Served& s) {
  time_.Cancel(s.flush);
  if (s.sent.empty()) return;
  log_.Write(realAtSync_, s.desc.com, "SEND",
             {IsoUtcMicros(s.sentStartUs), EscapeBytes(s.sent), s.sentGarbled ? "garbled" : "ok"});
  s.sent.clear();
}

}  // namespace horalign::sim
