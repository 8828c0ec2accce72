#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/serial_backend.h"
#include "core/serial/line_settings.h"
#include "sim/sim_device.h"
#include "sim/sim_transmitter.h"
#include "sim/virtual_time.h"

namespace horalign::sim {

enum class WireDirection { kToDevice, kFromDevice };

// One byte on a simulated line. Times are the start bit's start and the stop bit's end.
struct WireByte {
  std::int64_t startUs = 0;
  std::int64_t endUs = 0;
  int port = 0;
  WireDirection direction = WireDirection::kToDevice;
  std::uint8_t byte = 0;      // as the sender sent it
  LineSettings portSettings;  // of the PC's port (its last open)
  bool portOpen = false;
  bool garbled = false;    // sender and receiver differ in speed or framing
  bool delivered = false;  // a receiver took it (else: nothing attached, unplugged, queue full)
};

// Consecutive bytes of one direction cut at CR. The text keeps its CR; a last line that
// never ended has none.
struct WireLine {
  std::int64_t firstByteUs = 0;  // start of the line's first byte
  std::string text;
  friend bool operator==(const WireLine&, const WireLine&) = default;
};

// What a receiver hears of a byte sent at a speed or framing other than its own: a byte
// with the top bit set (so never CR, "?" or "*"), a fixed scramble of the bits sent.
std::uint8_t Scramble(std::uint8_t byte);

// The simulated COM ports. A port exists once added; a device may be attached to it. The
// PC's writes block in virtual time until the last byte has left (or the write time-out,
// bytes x multiplier + constant ms, has run out: then only the bytes that left by then
// count and the rest are not sent), the device's output arrives byte by byte in the
// port's input queue, and CommRead hands over only what has arrived. When the port's settings
// differ from the device's (speed, parity, data or stop bits), each byte reaches the
// other side as Scramble(byte), in both directions; a device drops its partial command at
// such a byte, and the port's queue fills with bytes that never make a line. As on a
// pseudo-terminal, the input queue outlives a close: unread bytes, and bytes that arrive
// while the port is closed, are read after the next open; only unplugging loses them.
class SimSerialBackend : public SerialBackend {
 public:
  explicit SimSerialBackend(VirtualTime& time);
  ~SimSerialBackend() override;
  SimSerialBackend(const SimSerialBackend&) = delete;
  SimSerialBackend& operator=(const SimSerialBackend&) = delete;

  // Makes COM n exist with nothing attached (again: no change).
  void AddPort(int port);
  // Attaches the device to COM n, adding the port when needed; it replaces any other.
  void Attach(int port, SimDevice& device);
  void Detach(int port);
  // Another program holds the port: CommOpen fails.
  void HoldPort(int port, bool held);
  // Pulls the adapter: CommOpen fails, an open handle reads "" and writes nothing from now on,
  // also after Replug; bytes on the line are lost.
  void Unplug(int port);
  void Replug(int port);

  // The port's time-outs before the program touches it (all zero by default).
  void SetPortTimeouts(int port, const CommTimeouts& timeouts);
  CommTimeouts PortTimeouts(int port) const;
  std::optional<CommTimeouts> LastTimeoutsSet(int port) const;
  std::optional<CommTimeouts> TimeoutsRestoredAtClose(int port) const;
  bool IsOpen(int port) const;
  std::string OpenSettings(int port) const;  // "" when closed
  int OpenCount(int port) const;             // successful opens
  int OpenAttempts(int port) const;
  // On by default; off lets every write finish whatever its time-out.
  void SetEnforceWriteTimeout(bool enforce) { enforceWriteTimeout_ = enforce; }

  bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                CommHandle& handle, CommTimeouts& saved) override;
  bool CommClose(CommHandle handle, const CommTimeouts& saved) override;
  std::string CommRead(CommHandle handle, int maxBytes) override;
  int CommWrite(CommHandle handle, std::string_view bytes) override;
  void CommFlush(CommHandle handle) override;
  void CommPurgeInput(CommHandle handle) override;
  void CommPurgeOutput(CommHandle handle) override;
  int CommInputCount(CommHandle handle) override;

  const std::vector<WireByte>& WireLog() const { return wire_; }
  void ClearWireLog() { wire_.clear(); }
  std::vector<WireLine> LinesToDevice(int port) const;
  std::vector<WireLine> LinesFromDevice(int port) const;
  // Bytes dropped because an input queue was full.
  std::int64_t Overruns() const { return overruns_; }

 private:
  struct Port;

  Port* Find(int port) const;
  Port* Live(CommHandle handle) const;  // the port of a handle that may still be used
  void ToDevice(Port& p, std::uint8_t byte, std::int64_t startUs, std::int64_t endUs);
  void FromDevice(Port& p, std::uint8_t byte, std::int64_t startUs, std::int64_t endUs);
  void Log(const WireByte& entry);
  std::vector<WireLine> Lines(int port, WireDirection direction) const;

  VirtualTime& time_;
  std::map<int, std::unique_ptr<Port>> ports_;
  std::map<CommHandle, int> handles_;
  CommHandle nextHandle_ = 1;
  bool enforceWriteTimeout_ = true;
  std::vector<WireByte> wire_;
  std::int64_t overruns_ = 0;
};

}  // namespace horalign::sim
