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
  // Returns a handle above 0 and the port's previous time-outs in `saved`, or 0 when the
  // port does not exist, is held by another program, or refuses the settings (nothing
  // is left open then).
  virtual CommHandle Open(int port, const std::string& settings, const CommTimeouts& timeouts,
                          CommTimeouts& saved) = 0;

  // Puts the saved time-outs (and line state) back and releases the port.
  virtual bool Close(CommHandle handle, const CommTimeouts& saved) = 0;

  // Returns at once with up to maxBytes bytes that have already arrived, possibly none.
  virtual std::string Read(CommHandle handle, int maxBytes) = 0;

  // Sends the bytes and waits until they have left the PC, at most the write time-out
  // (bytes x multiplier + constant). Returns the number of bytes sent.
  virtual int Write(CommHandle handle, std::string_view bytes) = 0;

  virtual void PurgeInput(CommHandle handle) = 0;
  virtual void PurgeOutput(CommHandle handle) = 0;

  // Bytes waiting in the receive queue; also clears any pending line error.
  virtual int InputCount(CommHandle handle) = 0;
};

}  // namespace horalign
