#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/registry_store.h"
#include "core/platform/serial_backend.h"
#include "core/serial/line_settings.h"

namespace horalign {

// The line state for `line` on top of `base`: raw bytes, no flow control, reads that return
// at once with what has arrived. nullopt when the baud rate has no speed constant, or the
// system has no mark and space parity and the text asks for one.
std::optional<termios> RawLineTermios(const termios& base, const LineSettings& line);

// Maps a COM number to a device path; "" when there is none.
using PortPathResolver = std::function<std::string(int port)>;

// The device path of COM `port`: the text value "COMn" under the key
// Software\Quorvane\Horalign\Ports of `store` when it holds one, else /dev/ttyS{n-1}.
std::string PortPathFromRegistry(RegistryStore& store, int port);

// A resolver that asks `store` at every open, so a changed mapping applies at once. The
// store must outlive the resolver.
PortPathResolver MakeRegistryPortResolver(RegistryStore& store);

// Serial ports through termios. A port is held with an exclusive flock (and TIOCEXCL),
// so another program holding it, or holding it after us, is refused. Settings the port
// does not keep (read back after applying them) refuse the open, as do baud rates without
// a speed constant. POSIX ports have no time-outs of their own: CommOpen reports all-zero
// earlier time-outs, and the write time-out handed to CommOpen bounds CommWrite (and its
// CommFlush) here. Handles are small positive numbers.
class PosixSerialBackend : public SerialBackend {
 public:
  explicit PosixSerialBackend(PortPathResolver resolvePath);
  ~PosixSerialBackend() override;
  PosixSerialBackend(const PosixSerialBackend&) = delete;
  PosixSerialBackend& operator=(const PosixSerialBackend&) = delete;

  bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                CommHandle& handle, CommTimeouts& saved) override;
  bool CommClose(CommHandle handle, const CommTimeouts& saved) override;
  std::string CommRead(CommHandle handle, int maxBytes) override;
  int CommWrite(CommHandle handle, std::string_view bytes) override;
  void CommFlush(CommHandle handle) override;
  void CommPurgeInput(CommHandle handle) override;
  void CommPurgeOutput(CommHandle handle) override;
  int CommInputCount(CommHandle handle) override;

  // Told the descriptor of each port opened, and of each just before it is closed, for a
  // caller that reads as bytes arrive.
  std::function<void(int fd)> onOpen, onClose;

 private:
  struct OpenPort {
    int fd = -1;
    termios previous{};
    std::uint32_t writeMultiplierMs = 0;
    std::uint32_t writeConstantMs = 0;
    // Where the last write's time-out ends: a flush waits no longer.
    std::chrono::steady_clock::time_point flushDeadline{};
  };

  OpenPort* Find(CommHandle handle);
  CommHandle Store(const OpenPort& port);

  PortPathResolver resolvePath_;
  std::vector<std::optional<OpenPort>> ports_;  // handle n is index n-1
};

}  // namespace horalign
