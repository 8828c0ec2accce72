#pragma once

// The service's operations, each written once: a request's value in, its answer out (or a
// typed error), whichever transport carried it. Each runs in turn between the service's own
// work, with the window locked as a user's action has it (QV_MainForm::RunRequest).
#include <functional>
#include <string>

#include "control/protocol.h"
#include "core/app/application.h"
#include "core/platform/registry_store.h"
#include "core/ui/views.h"
#include "service/service_log.h"
#include "service/service_metrics.h"

namespace horalign {

class ServiceOperations {
 public:
  struct Parts {
    Application& app;
    MainWindowView& window;  // where the form reads the mode and the interval back
    RegistryStore& registry;
    MetricsHistory& metrics;
    std::string settingsName;                        // the settings file, or the registry key
    ServiceLog log;                                  // a line for the journal or event log
    std::function<std::string(int port)> portPath;   // the device COM n stands for now
    std::function<std::string(int port)> knownPath;  // and when the service last looked
    // Called once the time daemon's feed has been switched (the right it makes needless).
    std::function<void()> feedSwitched = nullptr;
  };
  explicit ServiceOperations(Parts parts) : p_(std::move(parts)) {}

  // A request that is not a read (reads are the state's), once its caller may make it.
  Answer Run(const Request& request);

 private:
  QV_MainForm& Form() { return *p_.app.MainForm(); }
  WriteResult WritePort(int port);
  Answer Update(int port, bool force = false);
  Answer UpdateAll();
  Answer Read(int port, bool setPc);
  Answer SetMode(int mode);
  Answer SetActivePorts(std::uint32_t mask);
  Answer SetInterval(int minutes);
  Answer SetSwitch(const char* name, bool on);
  Answer SetMaxClockError(double seconds);
  Answer SetFeedTimeDaemon(bool on);
  Answer SetTimeDaemonSocket(const std::string& path);
  Answer SetPortPath(int port, const std::string& path);
  Answer Reload();
  void ReconnectChanged(std::uint32_t before, std::uint32_t now);
  bool Save(const char* key, const std::string& name, const std::string& value);
  Answer CannotWrite() const;

  Parts p_;
};

}  // namespace horalign
