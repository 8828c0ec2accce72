#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/system.h"
#include "core/device/paging.h"
#include "core/serial/serial_comm.h"
#include "core/settings/app_config.h"
#include "core/ui/main_form.h"
#include "core/ui/message.h"
#include "service/headless_views.h"

namespace horalign {

// The real serial backend, noting when the last time command ("T" or "PT"), and the last
// command of any kind, was handed to the operating system: a command can then say how far
// past the second its write began, and a device's answer is set against the moment it was
// asked rather than the moment the port monitor took the answer in.
class TimedSerial : public SerialBackend {
 public:
  explicit TimedSerial(SerialBackend& inner) : inner_(inner) {}

  // The PC clock in microseconds since the epoch when the last time command's write began; 0 for
  // none.
  std::int64_t TimeCommandUs() const { return timeCommandUs_; }
  // The same for the last write of any kind.
  std::int64_t LastWriteUs() const { return lastWriteUs_; }
  void Forget() { timeCommandUs_ = 0; }

  bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                CommHandle& handle, CommTimeouts& saved) override {
    return inner_.CommOpen(port, settings, timeouts, handle, saved);
  }
  bool CommClose(CommHandle handle, const CommTimeouts& saved) override {
    return inner_.CommClose(handle, saved);
  }
  std::string CommRead(CommHandle handle, int maxBytes) override {
    return inner_.CommRead(handle, maxBytes);
  }
  int CommWrite(CommHandle handle, std::string_view bytes) override;
  void CommFlush(CommHandle handle) override { inner_.CommFlush(handle); }
  void CommPurgeInput(CommHandle handle) override { inner_.CommPurgeInput(handle); }
  void CommPurgeOutput(CommHandle handle) override { inner_.CommPurgeOutput(handle); }
  int CommInputCount(CommHandle handle) override { return inner_.CommInputCount(handle); }

 private:
  SerialBackend& inner_;
  std::int64_t timeCommandUs_ = 0;
  std::int64_t lastWriteUs_ = 0;
};

std::int64_t RealtimeUs();

// The core wired for one command: the system's real adapters and the main window's logic
// on headless views, without the start-up scan and without the instance slot (a command
// takes only the ports it works on, each held with its lock meanwhile). The port list
// has its 16 rows, untouched until a command works on one.
struct HeadlessCore {
  HeadlessCore(const std::string& settingsPath, bool logRows);
  HeadlessCore(const HeadlessCore&) = delete;
  HeadlessCore& operator=(const HeadlessCore&) = delete;

  std::unique_ptr<CliSystem> system;
  RegistryStore& registry;
  TimedSerial serial{system->Serial()};
  Clock& clock;
  EventLoop& loop;
  LogMainWindow view{stderr};
  NullPointer pointer;
  LogMessageDialog dialog{stderr};
  NullLoading loadingView;
  NoInstanceSlot instance;
  AppConfig config;
  std::int32_t delayTicks = 0;
  clsSerialCommAPI serialPort{serial};
  QV_SYS_Message messages{dialog, loop, pointer, kProgramName};
  QV_SYS_LoadingMessage loading{loadingView, loop, pointer, kProgramName};
  QV_Paging paging{serialPort, loop, delayTicks};
  QV_MainForm form;

  // Opens COM `port` and connects its device as the window does; false when the port
  // did not open or no device answered (the row says which).
  bool Connect(int port);
  std::string PortPath(int port) { return system->PortPath(port); }
  const std::string& Cell(int port, int column) { return form.Ports().Cell(port, column); }
};

}  // namespace horalign
