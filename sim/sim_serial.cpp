#include "sim/sim_serial.h"

#include <algorithm>
#include <limits>

namespace horalign::sim {

namespace {
constexpr std::size_t kInputQueueLimit = 65536;  // a full driver queue drops what comes on
constexpr std::size_t kWireLogLimit = 1'000'000;
}  // namespace

std::uint8_t Scramble(std::uint8_t byte) {
  return static_cast<std::uint8_t>(0x80 | ((byte ^ 0x55) & 0x7F));
}

struct SimSerialBackend::Port {
  Port(VirtualTime& time, SimSerialBackend& owner, int n)
      : number(n), tx(time, [&owner, this](std::uint8_t b, std::int64_t s, std::int64_t e) {
          owner.ToDevice(*this, b, s, e);
        }) {}

  int number;
  bool held = false;
  bool unplugged = false;
  int plugGeneration = 0;  // bumped at every unplug; handles of an older one are dead
  SimDevice* device = nullptr;
  CommTimeouts timeouts{};
  std::optional<CommTimeouts> lastSet;
  std::optional<CommTimeouts> restoredAtClose;
  int opens = 0;
  int openAttempts = 0;
  // While open:
  CommHandle handle = 0;
  int handleGeneration = 0;
  LineSettings line;
  std::string settingsText;
  std::deque<std::uint8_t> input;
  SimTransmitter tx;         // PC to device
  std::int64_t flushUs = 0;  // when the last write's bytes have left, or its time-out ends
};

SimSerialBackend::SimSerialBackend(VirtualTime& time) : time_(time) {}

SimSerialBackend::~SimSerialBackend() {
  for (auto& [n, p] : ports_) Detach(n);
}

SimSerialBackend::Port* SimSerialBackend::Find(int port) const {
  const auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.get();
}

SimSerialBackend::Port* SimSerialBackend::Live(CommHandle handle) const {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return nullptr;
  Port* p = Find(it->second);
  if (p == nullptr || p->unplugged || p->handleGeneration != p->plugGeneration) return nullptr;
  return p;
}

void SimSerialBackend::AddPort(int port) {
  if (Find(port) == nullptr) ports_[port] = std::make_unique<Port>(time_, *this, port);
}

void SimSerialBackend::Attach(int port, SimDevice& device) {
  AddPort(port);
  for (auto& [n, p] : ports_) {
    if (p->device == &device) Detach(n);
  }
  Detach(port);
  Port& p = *Find(port);
  p.device = &device;
  device.SetOutput(
      [this, &p](std::uint8_t b, std::int64_t s, std::int64_t e) { FromDevice(p, b, s, e); });
  device.SetDestroyHook([&p] { p.device = nullptr; });
}

void SimSerialBackend::Detach(int port) {
  Port* p = Find(port);
  if (p == nullptr || p->device == nullptr) return;
  p->device->SetOutput(nullptr);
  p->device->SetDestroyHook(nullptr);
  p->device = nullptr;
}

void SimSerialBackend::HoldPort(int port, bool held) {
  AddPort(port);
  Find(port)->held = held;
}

void SimSerialBackend::Unplug(int port) {
  Port* p = Find(port);
  if (p == nullptr || p->unplugged) return;
  p->unplugged = true;
  ++p->plugGeneration;
  p->input.clear();
}

void SimSerialBackend::Replug(int port) {
  if (Port* p = Find(port)) p->unplugged = false;
}

void SimSerialBackend::SetPortTimeouts(int port, const CommTimeouts& timeouts) {
  AddPort(port);
  Find(port)->timeouts = timeouts;
}

CommTimeouts SimSerialBackend::PortTimeouts(int port) const {
  const Port* p = Find(port);
  return p == nullptr ? CommTimeouts{} : p->timeouts;
}

std::optional<CommTimeouts> SimSerialBackend::LastTimeoutsSet(int port) const {
  const Port* p = Find(port);
  return p == nullptr ? std::nullopt : p->lastSet;
}

std::optional<CommTimeouts> SimSerialBackend::TimeoutsRestoredAtClose(int port) const {
  const Port* p = Find(port);
  return p == nullptr ? std::nullopt : p->restoredAtClose;
}

bool SimSerialBackend::IsOpen(int port) const {
  const Port* p = Find(port);
  return p != nullptr && p->handle != 0;
}

std::string SimSerialBackend::OpenSettings(int port) const {
  const Port* p = Find(port);
  return p == nullptr || p->handle == 0 ? std::string() : p->settingsText;
}

int SimSerialBackend::OpenCount(int port) const {
  const Port* p = Find(port);
  return p == nullptr ? 0 : p->opens;
}

int SimSerialBackend::OpenAttempts(int port) const {
  const Port* p = Find(port);
  return p == nullptr ? 0 : p->openAttempts;
}

bool SimSerialBackend::CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                                CommHandle& handle, CommTimeouts& saved) {
  handle = 0;
  Port* p = Find(port);
  if (p == nullptr) return false;
  ++p->openAttempts;
  if (p->held || p->unplugged || p->handle != 0) return false;
  const std::optional<LineSettings> line = ParseLineSettings(settings);
  if (!line) return false;  // refused before anything on the port changed
  saved = p->timeouts;
  p->timeouts = timeouts;
  p->lastSet = timeouts;
  p->handle = nextHandle_++;
  p->handleGeneration = p->plugGeneration;
  p->line = *line;
  p->settingsText = settings;
  p->tx.SetLine(*line);
  ++p->opens;
  handles_[p->handle] = port;
  handle = p->handle;
  return true;
}

bool SimSerialBackend::CommClose(CommHandle handle, const CommTimeouts& saved) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return false;
  Port& p = *Find(it->second);
  if (Live(handle) != nullptr) {
    p.timeouts = saved;
    p.restoredAtClose = saved;
  }
  p.tx.Purge();
  p.handle = 0;
  p.settingsText.clear();
  handles_.erase(it);
  return true;
}

std::string SimSerialBackend::CommRead(CommHandle handle, int maxBytes) {
  Port* p = Live(handle);
  if (p == nullptr || maxBytes <= 0) return {};
  const std::size_t n = std::min(p->input.size(), static_cast<std::size_t>(maxBytes));
  std::string out(p->input.begin(), p->input.begin() + static_cast<std::ptrdiff_t>(n));
  p->input.erase(p->input.begin(), p->input.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

int SimSerialBackend::CommWrite(CommHandle handle, std::string_view bytes) {
  Port* p = Live(handle);
  if (p == nullptr || bytes.empty()) return 0;
  const std::int64_t count = static_cast<std::int64_t>(bytes.size());
  std::int64_t deadline = std::numeric_limits<std::int64_t>::max();
  const CommTimeouts& t = p->timeouts;
  if (enforceWriteTimeout_ &&
      (t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0)) {
    deadline =
        time_.NowUs() +
        (count * t.writeTotalTimeoutMultiplier + std::int64_t{t.writeTotalTimeoutConstant}) * 1000;
  }
  // A byte that has started by the deadline is already in the UART and goes out whole; the
  // write itself returns at the deadline.
  std::int64_t sent = count;
  while (sent > 0 && p->tx.EndUsIfQueued(sent - 1) > deadline) --sent;
  const std::int64_t end = p->tx.Send(bytes.substr(0, static_cast<std::size_t>(sent)));
  p->flushUs = std::min(end, deadline);
  CommFlush(handle);
  return static_cast<int>(sent);
}

void SimSerialBackend::CommFlush(CommHandle handle) {
  if (const Port* p = Live(handle)) time_.AdvanceTo(p->flushUs);
}

void SimSerialBackend::CommPurgeInput(CommHandle handle) {
  if (Port* p = Live(handle)) p->input.clear();
}

void SimSerialBackend::CommPurgeOutput(CommHandle handle) {
  if (Port* p = Live(handle)) p->tx.Purge();
}

int SimSerialBackend::CommInputCount(CommHandle handle) {
  const Port* p = Live(handle);
  return p == nullptr ? 0 : static_cast<int>(p->input.size());
}

void SimSerialBackend::ToDevice(Port& p, std::uint8_t byte, std::int64_t startUs,
                                std::int64_t endUs) {
  WireByte w{startUs, endUs, p.number, WireDirection::kToDevice, byte, p.line, p.handle != 0};
  if (p.device != nullptr && !p.unplugged) {
    w.garbled = p.device->Line() != p.line;
    w.delivered = true;
  }
  Log(w);
  if (w.delivered) p.device->Hear(w.garbled ? Scramble(byte) : byte, w.garbled);
}

void SimSerialBackend::FromDevice(Port& p, std::uint8_t byte, std::int64_t startUs,
                                  std::int64_t endUs) {
  WireByte w{startUs, endUs, p.number, WireDirection::kFromDevice, byte, p.line, p.handle != 0};
  // A closed port keeps what comes, for its next open; a dead handle hears nothing.
  if (!p.unplugged && (p.handle == 0 || p.handleGeneration == p.plugGeneration)) {
    w.garbled = p.device->Line() != p.line;
    if (p.input.size() < kInputQueueLimit) {
      p.input.push_back(w.garbled ? Scramble(byte) : byte);
      w.delivered = true;
    } else {
      ++overruns_;
    }
  }
  Log(w);
}

void SimSerialBackend::Log(const WireByte& entry) {
  if (wire_.size() < kWireLogLimit) wire_.push_back(entry);
}

std::vector<WireLine> SimSerialBackend::Lines(int port, WireDirection direction) const {
  std::vector<WireLine> lines;
  bool open = false;
  for (const WireByte& w : wire_) {
    if (w.port != port || w.direction != direction) continue;
    if (!open) lines.push_back({w.startUs, {}});
    lines.back().text += static_cast<char>(w.byte);
    open = w.byte != '\r';
  }
  return lines;
}

std::vector<WireLine> SimSerialBackend::LinesToDevice(int port) const {
  return Lines(port, WireDirection::kToDevice);
}

std::vector<WireLine> SimSerialBackend::LinesFromDevice(int port) const {
  return Lines(port, WireDirection::kFromDevice);
}

}  // namespace horalign::sim
