#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "control/json_read.h"
#include "core/app/application.h"
#include "core/platform/event_loop.h"
#include "core/platform/registry_store.h"
#include "service/headless_views.h"
#include "service/service_metrics.h"

namespace horalign {

// The service's control interface as lines of JSON, one object a line each way, whatever
// carries them (the named pipe on Windows). The requests and their answers are those of the
// control interface on the Linux system bus; docs/windows.md lists them. Reading is open to
// every client; what writes a device, sets the clock or changes a setting needs a client
// that may change (an administrator). An operation is queued and runs between the
// service's own, one at a time; its client gets the answer when it is done.
class PipeControl {
 public:
  // Sends one line (without its line break) to a client.
  using Send = std::function<void(int client, const std::string& line)>;
  // The device path of COM `port`.
  using PortPath = std::function<std::string(int port)>;

  PipeControl(Application& app, MainWindowView& window, RegistryStore& registry,
              MetricsHistory& metrics, EventLoop& loop, std::string settingsName, PortPath path,
              Send send);
  PipeControl(const PipeControl&) = delete;
  PipeControl& operator=(const PipeControl&) = delete;

  // One line from `client`; `mayChange` says whether it may ask for changes.
  void Take(int client, const std::string& line, bool mayChange);
  // A line longer than the carrier takes: it was dropped unread.
  void TooLong(int client, std::size_t limit);
  // The client has gone: it misses its answers, and nothing else changes.
  void Gone(int client);
  // A row has settled: the watching clients get it.
  void RowChanged(int port);

 private:
  using Work = std::function<void(std::string& reply)>;
  struct Queued {
    int client;
    std::string id;  // the request's "id" as JSON, "" for none
    Work work;
  };

  QV_MainForm& Form() { return *app_.MainForm(); }
  void Reply(int client, const std::string& id, const std::string& members);
  void Refuse(int client, const std::string& id, const char* error, const std::string& message);
  void Enqueue(int client, const std::string& id, Work work);
  void RunQueued();
  void SettingsChanged();

  std::string RowJson(int port);
  std::string RowsJson();
  std::string DevicesJson();
  std::string SettingsJson();

  // The operations, each as its Linux counterpart in cli/bus_requests.cpp. Each fills
  // `reply` with the answer's members, or with an error's (Error()).
  std::string WritePort(int port);
  void DoUpdate(std::string& reply, int port);
  void DoUpdateAll(std::string& reply);
  void DoRead(std::string& reply, int port, bool setPc);
  void DoSetMode(std::string& reply, int mode);
  void DoSetActivePorts(std::string& reply, std::int32_t mask);
  void DoSetInterval(std::string& reply, int minutes);
  void DoSetSwitch(std::string& reply, const char* name, bool on);
  void DoReload(std::string& reply);
  bool SaveConfig(const char* name, const std::string& value);

  Application& app_;
  MainWindowView& window_;
  RegistryStore& registry_;
  MetricsHistory& metrics_;
  EventLoop& loop_;
  std::string settingsName_;
  PortPath path_;
  Send send_;
  std::set<int> watching_;
  std::set<int> gone_;
  std::deque<Queued> queue_;
  bool running_ = false;
  // Looks at the queue while it is not empty; off otherwise, so an idle service does not
  // wake for it.
  std::unique_ptr<Timer> tmrQueue_;
};

}  // namespace horalign
