// The service: the program without a window, on the poll loop, logging to standard error.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "core/ui/port_list.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/poll_event_loop.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_log_folder.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/resume_watch.h"
#include "service/headless_views.h"
#include "service/posix/bus_service.h"
#include "service/posix/clock_right.h"
#include "service/posix/journal.h"

namespace horalign {
namespace {

// The instance slot: the runtime directory systemd gives the service, else the session's.
std::vector<std::string> InstanceFolders() {
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY");
      runtime != nullptr && *runtime == '/') {
    const std::string_view dirs(runtime);
    return {std::string(dirs.substr(0, dirs.find(':')))};
  }
  return DefaultInstanceFolders();
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

// The history beside the service's settings in the state directory systemd gives it, else
// where the desktop program keeps it.
std::string HistoryFolder() {
  if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state == '/') {
    const std::string_view dirs(state);
    return std::string(dirs.substr(0, dirs.find(':')));
  }
  return PosixLogFolder::DefaultDir();
}

std::string ActiveList(std::int32_t mask) {
  std::string list;
  for (int n = 1; n <= kPortRows; ++n) {
    if (mask & (1 << (n - 1))) list += (list.empty() ? "COM" : ",COM") + std::to_string(n);
  }
  return list.empty() ? "none" : list;
}

}  // namespace

int RunCommand(const CliOptions&, const std::string& settingsPath) {
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
  BusService bus(app, window, registry, metrics, loop, settingsPath, log);
  RowJournal journal(log);
  window.onRow = [&](int row, const std::string& line) {
    journal.Write(row, window.Cell(row, kColDevice), window.Cell(row, kColStatus), line);
    bus.RowChanged(row);
  };

  // The form has closed the port, stopped its timers and saved what it keeps: end at once,
  // as the window does, so that no handler runs after this.
  window.onQuit = [log] {
    LogLine(log, "stop");
    std::fflush(nullptr);
    ::_exit(kExitOk);
  };
  const bool watching = loop.WatchSignals({SIGTERM, SIGINT, SIGHUP}, [&app, log](int number) {
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
  bus.Start();
  loop.Run();
  return kExitOk;
}

}  // namespace horalign
