#pragma once

#include "platform/win32/win32_api.h"

#include <set>
#include <string>
#include <string_view>

#include "core/platform/serial_backend.h"

namespace horalign {

// The device path of COM `port`: "\\.\COM" and the number, which also reaches COM10 and up.
std::string CommDevicePath(int port);

// COM ports through the Win32 communication functions, used synchronously (no overlapped
// I/O): the read time-outs handed to Open make every ReadFile return at once with what has
// arrived. A handle is the Win32 handle itself; calls with a handle this backend did not
// open fail quietly.
class Win32SerialBackend : public SerialBackend {
 public:
  Win32SerialBackend() = default;
  ~Win32SerialBackend() override;
  Win32SerialBackend(const Win32SerialBackend&) = delete;
  Win32SerialBackend& operator=(const Win32SerialBackend&) = delete;

  // CreateFileA with share mode read+write (3), OPEN_EXISTING and no flags; the earlier
  // time-outs are read back into `saved`, then the new ones, then the line state from
  // BuildCommDCBA on top of the port's current one. Any refusal closes the port again.
  bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                CommHandle& handle, CommTimeouts& saved) override;
  bool CommClose(CommHandle handle, const CommTimeouts& saved) override;
  std::string CommRead(CommHandle handle, int maxBytes) override;
  int CommWrite(CommHandle handle, std::string_view bytes) override;
  void CommFlush(CommHandle handle) override;
  void CommPurgeInput(CommHandle handle) override;
  void CommPurgeOutput(CommHandle handle) override;
  int CommInputCount(CommHandle handle) override;

 private:
  HANDLE Find(CommHandle handle) const;

  std::set<HANDLE> open_;
};

}  // namespace horalign
