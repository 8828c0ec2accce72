#pragma once

#include <systemd/sd-bus.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "core/app/application.h"
#include "core/platform/registry_store.h"
#include "platform/posix/poll_event_loop.h"
#include "service/headless_views.h"
#include "service/service_metrics.h"

namespace horalign {

// The service's control interface on the system bus (control/posix/bus_names.h): the rows, the
// devices' figures and the settings for anyone; the operations and the settings' changes for
// whom polkit allows. An operation is queued and runs between the service's own, one at a
// time; its caller gets the answer when it is done.
class BusService {
 public:
  BusService(Application& app, LogMainWindow& window, RegistryStore& registry,
             MetricsHistory& metrics, PollEventLoop& loop, std::string settingsPath,
             std::FILE* log);
  ~BusService();
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // Connects to the system bus and takes the service's name; false, with a warning in the
  // log, when it cannot: the service then runs without it.
  bool Start();
  // A row has settled: PortChanged to whoever listens.
  void RowChanged(int port);

  // An operation a caller asked for: it answers `call` itself.
  using Work = std::function<void(sd_bus_message* call)>;

 private:
  friend struct BusMethods;
  QV_MainForm& Form() { return *app_.MainForm(); }
  // The caller may go on once polkit allows it; `work` then runs in turn.
  int Authorize(sd_bus_message* call, Work work);
  void Enqueue(sd_bus_message* call, Work work);
  void RunQueued();
  void Process();
  void Flush();
  int AppendRow(sd_bus_message* message, int port);
  int AppendSettings(sd_bus_message* message);
  struct SettingsSeen {
    std::int16_t mode;
    std::int32_t ports;
    std::int16_t interval;
    bool push, verify;
    bool operator==(const SettingsSeen&) const = default;
  };
  SettingsSeen Seen();
  void SettingsChanged();

  // The operations, in cli/bus_requests.cpp.
  void DoUpdate(sd_bus_message* call, int port);
  void DoUpdateAll(sd_bus_message* call);
  void DoRead(sd_bus_message* call, int port, bool setPc);
  void DoRescan(sd_bus_message* call);
  void DoSetMode(sd_bus_message* call, int mode);
  void DoSetActivePorts(sd_bus_message* call, std::int32_t mask);
  void DoSetInterval(sd_bus_message* call, int minutes);
  void DoSetSwitch(sd_bus_message* call, const char* name, bool on);
  void DoSetPortPath(sd_bus_message* call, int port, const std::string& path);
  void DoReload(sd_bus_message* call);
  // Writes `port` and appends its outcome, status and ms past the second to `reply`.
  int WritePort(sd_bus_message* reply, int port);
  bool SaveConfig(const char* name, const std::string& value);

  Application& app_;
  LogMainWindow& window_;
  RegistryStore& registry_;
  MetricsHistory& metrics_;
  PollEventLoop& loop_;
  std::string settingsPath_;
  std::FILE* log_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  struct Queued {
    sd_bus_message* call;
    Work work;
  };
  std::deque<Queued> queue_;
  int asking_ = 0;  // polkit answers awaited
  bool running_ = false;
  // Looks at the queue while it is not empty, and at the bus's own time-outs while polkit
  // is asked; off otherwise, so an idle service does not wake for it.
  std::unique_ptr<Timer> tmrQueue_;
};

}  // namespace horalign
