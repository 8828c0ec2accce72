// The service on Linux: the program without a window on the poll loop, its control
// interface on the system bus, its lines in the journal (or on standard error).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/exit_codes.h"
#include "control/posix/bus_server.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "core/settings/com_ports.h"
#include "core/ui/port_list.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/poll_event_loop.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_log_folder.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/resume_watch.h"
#include "service/headless_views.h"
#include "service/operations.h"
#include "service/posix/clock_right.h"
#include "service/posix/journal.h"
#include "service/service_control.h"
#include "service/service_main.h"
#include "service/service_state.h"

namespace horalign {
namespace {

// The first of the folders systemd lists in `variable` (colon-separated), else "".
std::string SystemdFolder(const char* variable) {
  const char* dirs = std::getenv(variable);
  if (dirs == nullptr || *dirs != '/') return "";
  const std::string_view list(dirs);
  return std::string(list.substr(0, list.find(':')));
}

// The instance slot: the runtime directory systemd gives the service, else the session's.
std::vector<std::string> InstanceFolders() {
  const std::string runtime = SystemdFolder("RUNTIME_DIRECTORY");
  return runtime.empty() ? DefaultInstanceFolders() : std::vector<std::string>{runtime};
}

// The history beside the service's settings in the state directory systemd gives it, else
// where the desktop program keeps it.
std::string HistoryFolder() {
  const std::string state = SystemdFolder("STATE_DIRECTORY");
  return state.empty() ? PosixLogFolder::DefaultDir() : state;
}

const char* SignalName(int number) {
  switch (number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal";
  }
}

// The right to set the clock is kept only by the mode that sets it.
std::string SettleClockRight(std::int16_t mode) {
  if (mode == kModePcFromDevice) return HoldsClockRight() ? "held" : "missing";
  if (!HoldsClockRight()) return "not-held";
  return DropClockRight() ? "dropped" : "could-not-drop";
}

std::string ActiveList(std::int32_t mask) {
  std::string list;
  for (int n : PortsOfMask(static_cast<std::uint32_t>(mask))) {
    list += (list.empty() ? "" : ",") + ComName(n);
  }
  return list.empty() ? "none" : list;
}

// The settings file as its clients name it, whatever the service's working folder.
std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char folder[4096];
  return ::getcwd(folder, sizeof folder) != nullptr ? std::string(folder) + "/" + path : path;
}

}  // namespace

int RunService(const std::string& settingsPath) {
  std::FILE* log = stderr;
  CheckSettingsFile(settingsPath);
  RegFileStore registry(settingsPath);
  AppConfig config;
  LoadConfig(registry, config);
  const std::string clockRight = SettleClockRight(config.ConnectionMode);
  LogLine(log, "start version=" HORALIGN_VERSION " settings=" + LogValue(settingsPath) +
                   " mode=" + std::to_string(config.ConnectionMode) +
                   " active=" + ActiveList(config.UsedComPorts) + " interval=" +
                   std::to_string(config.UpdateInterval) + " clock-right=" + clockRight);

  PosixSerialBackend serial(MakeRegistryPortResolver(registry));
  PosixClock clock;
  PollEventLoop loop;
  // While timedated is asked, the ports are still served and signals still heard.
  clock.SetSystemWait([&loop](int fd, std::int64_t maxUs) { loop.YieldWatching(fd, maxUs); });
  PosixInstanceGuard instance(InstanceFolders());
  LogMainWindow window(log);
  NullPointer pointer;
  LogMessageDialog messageView(log);
  NullLoading loading;
  PosixLogFolder historyFolder(HistoryFolder());
  HistoryLog history(historyFolder, [log](const std::string& message) {
    LogLine(log, "warning=" + LogValue(message));
  });
  MetricsHistory metrics(history);
  Application app(Platform{registry, serial, clock, loop, instance, window, pointer, messageView,
                           loading, &metrics});

  const std::string settingsName = AbsolutePath(settingsPath);
  ServiceOperations operations({app, window, registry, metrics, settingsName,
                                [log](const std::string& line) { LogLine(log, line); }});
  ServiceState state({app, metrics,
                      [&registry](int port) { return PortPathFromRegistry(registry, port); },
                      settingsName});
  ServiceControl control(app, operations, state, loop);
  BusServer bus(control, loop,
                [log](const std::string& why) { LogLine(log, "warning=" + LogValue(why)); });
  control.AddListener(bus);
  RowJournal journal(log);
  window.onRow = [&](int row, const std::string& line) {
    journal.Write(row, window.Cell(row, kColDevice), window.Cell(row, kColStatus), line);
    control.RowSettled(row);
  };

  // The form has closed the port, stopped its timers and saved what it keeps: end at once,
  // as the window does, so that no handler runs after this.
  window.onQuit = [log] {
    LogLine(log, "stop");
    std::fflush(nullptr);
    ::_exit(kExitOk);
  };
  const bool watching =
      loop.WatchSignals({SIGTERM, SIGINT, SIGHUP}, [&app, &control, log](int number) {
        // SIGHUP (systemctl reload) reads the settings again, in turn like any request.
        if (number == SIGHUP) {
          LogLine(log, "signal=SIGHUP reloading");
          return control.TakeOwn(MakeRequest(RequestKind::kReload), [](const Answer&) {});
        }
        LogLine(log, std::string("signal=") + SignalName(number) + " ending");
        if (QV_MainForm* form = app.MainForm()) form->OnQueryClose(CloseReason::kSignal);
      });
  if (!watching) LogLine(log, "warning=\"signals cannot be watched: SIGTERM ends at once\"");
  // Jumps of the local time reach the form through the clock.
  loop.WatchFd(clock.WatchJumps(), [&clock] {
    clock.CheckJumps();
    return true;
  });
  ResumeWatch resume(clock);
  loop.WatchFd(resume.Fd(), [&resume] { return resume.Process(); });

  if (!app.Start()) return kExitRunning;
  control.Started();
  if (bus.Start()) {
    loop.WatchFd(bus.Fd(), [&bus] {
      bus.Process();
      return true;
    });
    // A write waits for the start of a second without the loop: readers are answered from
    // the state meanwhile, and the operations they ask for wait in the queue.
    clock.ServeDuringSleeps(bus.Fd(), [&bus] { bus.Process(); });
  }
  loop.Run();
  return kExitOk;
}

}  // namespace horalign
