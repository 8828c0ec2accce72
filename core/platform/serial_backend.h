#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace horalign {

// The five time-outs of a COM port, in the operating system's order.
struct CommTimeouts {
  std::uint32_t readIntervalTimeout = 0;
  std::uint32_t readTotalTimeoutMultiplier = 0;
  std::uint32_t readTotalTimeoutConstant = 0;
  std::uint32_t writeTotalTimeoutMultiplier = 0;
  std::uint32_t writeTotalTimeoutConstant = 0;
  friend bool operator==(const CommTimeouts&, const CommTimeouts&) = default;
};

// 0 means no port.
using CommHandle = std::int64_t;

// Reaches the operating system's serial ports. Every call is synchronous, none throws,
// and a failure is a neutral result. The rules (write multiplier, buffers, limits) live
// in clsSerialCommAPI; a backend only talks to the OS.
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;

  // Opens COM `port` with a settings text such as "9600,N,8,1" and applies `timeouts`.
  // Returns true with a handle above 0 and the port's previous time-outs in `saved`, or
  // false with handle 0 when the port does not exist, is held by another program, or
  // refuses the settings (nothing is left open then).
  virtual bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                        CommHandle& handle, CommTimeouts& saved) = 0;

  // Puts the saved time-outs (and line state) back and releases the port.
  virtual bool CommClose(CommHandle handle, const CommTimeouts& saved) = 0;

  // Returns at once with up to maxBytes bytes that have already arrived, possibly none.
  virtual std::string CommRead(CommHandle handle, int maxBytes) = 0;

  // Sends the bytes, then CommFlush: returns once they have left the PC or the write
  // time-out (bytes x multiplier + constant) has run out. Returns the number of bytes sent.
  virtual int CommWrite(CommHandle handle, std::string_view bytes) = 0;

  // Waits until the bytes written have left the PC; a port that cannot send them gives up
  // when the last write's time-out ends. Nothing waiting to go out returns at once.
  virtual void CommFlush(CommHandle handle) = 0;

  virtual void CommPurgeInput(CommHandle handle) = 0;
  virtual void CommPurgeOutput(CommHandle handle) = 0;

  // Bytes waiting in the receive queue; also clears any pending line error.
  virtual int CommInputCount(CommHandle handle) = 0;
};

}  // namespace horalign
