// The service on Linux: the program without a window on the poll loop, its control
// interface on the system bus, its lines in the journal (or on standard error).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/exit_codes.h"
#include "control/posix/bus_server.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "core/settings/com_ports.h"
#include "core/ui/port_list.h"
#include "platform/posix/chrony_sock_feed.h"
#include "platform/posix/device_watch.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/poll_event_loop.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_clock_sync.h"
#include "platform/posix/posix_log_folder.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/resume_watch.h"
#include "service/headless_views.h"
#include "service/hot_plug.h"
#include "service/operations.h"
#include "service/posix/clock_right.h"
#include "service/posix/journal.h"
#include "service/service_control.h"
#include "service/service_log.h"
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

// The right to set the clock is kept only by the mode that sets it, and not by it while it
// feeds the time daemon instead.
std::string SettleClockRight(std::int16_t mode, bool feed) {
  if (mode == kModePcFromDevice && !feed) return HoldsClockRight() ? "held" : "missing";
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

// The service's parts, wired once; each is named where it is made.
struct PosixService {
  explicit PosixService(const std::string& settingsPath)
      : settingsName(AbsolutePath(settingsPath)), registry(settingsPath) {
    LoadConfig(registry, config);
  }

  void Say(LogLevel level, const std::string& line) { journal.Line(level, line); }
  std::string PortPath(int port) { return PortPathFromRegistry(registry, port); }
  void RowSettled(int row, const std::string& line);
  void WatchSignals();
  int Run();

  std::FILE* log = stderr;
  ServiceJournal journal{log};
  ServiceLog say = [this](LogLevel level, const std::string& line) { Say(level, line); };
  std::string settingsName;
  RegFileStore registry;
  AppConfig config;
  PosixSerialBackend serial{MakeRegistryPortResolver(registry)};
  PosixClock clock;
  PollEventLoop loop;
  PosixInstanceGuard instance{InstanceFolders()};
  LogMainWindow window{log};
  NullPointer pointer;
  LogMessageDialog messageView{log};
  NullLoading loading;
  PosixLogFolder historyFolder{HistoryFolder()};
  HistoryLog history{historyFolder, [this](const std::string& message) {
                       Say(LogLevel::kWarning, "warning=" + LogValue(message));
                     }};
  MetricsHistory metrics{history};
  PosixClockSync kernelClock;
  JournaledClockSync clockSync{kernelClock, say};
  ChronySockFeed feed{
      [this] { return app.Config().TimeDaemonSocket; },
      [this](FeedResult result, const std::string& why) { FeedChanged(result, why); }};
  Application app{Platform{registry, serial, clock, loop, instance, window, pointer, messageView,
                           loading, &metrics, nullptr, &clockSync, &feed}};
  ServiceState state{{app, metrics, [this](int port) { return PortPath(port); }, settingsName}};
  ServiceOperations operations{{app, window, registry, metrics, settingsName, say,
                                [this](int port) { return PortPath(port); },
                                [this](int port) { return state.Row(port).path; },
                                [this] { SettleFeed(); }}};
  ServiceControl control{app, operations, state, loop, say};
  BusServer bus{control, loop, [this](const std::string& why) {
                  Say(LogLevel::kWarning, "warning=" + LogValue(why));
                }};
  RowWeigher weigher;
  ResumeWatch resume{clock};
  DeviceWatch devices;
  HotPlug hotPlug{{app, control, [this](int port) { return PortPath(port); },
                   [](const std::string& path) {
                     struct stat info {};
                     return ::stat(path.c_str(), &info) == 0;
                   },
                   say}};
  std::vector<std::string> watched;  // the active ports' paths the device watch looks at
  void Rewatch();
  void WatchDevices();

  // Feeding the time daemon: its outcomes, the right it makes needless, and a port read as
  // its bytes arrive, so that a reading's first byte is dated as it came.
  bool Feeding() {
    return app.Config().ConnectionMode == kModePcFromDevice && app.Config().FeedTimeDaemon;
  }
  void FeedChanged(FeedResult result, const std::string& why);
  void SettleFeed();
  void WatchPort(int fd);
  bool portWatched = false;
  int portFd = -1;
};

void PosixService::FeedChanged(FeedResult result, const std::string& why) {
  static constexpr const char* kNames[] = {"sent", "no-daemon", "refused", "failed"};
  const char* name = kNames[static_cast<int>(result)];
  if (result == FeedResult::kSent) {
    Say(LogLevel::kInfo, std::string("time-daemon=") + name);
  } else {
    Say(LogLevel::kWarning, std::string("time-daemon=") + name + " socket=" +
                                LogValue(app.Config().TimeDaemonSocket) + " why=" + LogValue(why));
  }
}

// A reload or a client that turns the feed on gives the right up; turning it off cannot take
// it back (a restart does).
void PosixService::SettleFeed() {
  if (!Feeding()) return;
  if (HoldsClockRight()) {
    Say(LogLevel::kInfo,
        std::string("clock-right=") + (DropClockRight() ? "dropped" : "could-not-drop"));
  }
  if (!portWatched && portFd >= 0) WatchPort(portFd);
}

// Each call reads what has come, so a readable port never wakes the loop twice for one
// byte. The watch ends with the port (before its number can come back), or with the feed.
void PosixService::WatchPort(int fd) {
  portWatched = true;
  loop.WatchFd(fd, [this] {
    if (!Feeding()) {
      portWatched = false;
      return false;
    }
    QV_Paging& paging = app.Paging();
    if (paging.Collecting()) {
      paging.ContinueCollecting();
    } else {
      paging.PollSerialInput();
    }
    return true;
  });
}

void PosixService::Rewatch() {
  std::vector<std::string> paths;
  for (int port : PortsOfMask(static_cast<std::uint32_t>(app.Config().UsedComPorts))) {
    paths.push_back(state.Row(port).path);
  }
  if (paths == watched) return;
  watched = paths;
  devices.WatchPaths(paths);
}

// Devices unplugged and plugged back in are seen as the system tells of them.
void PosixService::WatchDevices() {
  Rewatch();
  for (int fd : devices.Fds()) {
    loop.WatchFd(fd, [this] {
      if (devices.Take()) {
        hotPlug.Check();
        Rewatch();
      }
      return true;
    });
  }
}

void PosixService::RowSettled(int row, const std::string& line) {
  const std::string& device = window.Cell(row, kColDevice);
  const std::string& status = window.Cell(row, kColStatus);
  const LogLevel level = weigher.Weigh(row, window.Cell(row, kColActive), device,
                                       window.Cell(row, kColSerial), status);
  journal.Row(level, row, device, status, line);
  control.RowSettled(row);
  Rewatch();  // a port activated, deactivated or mapped elsewhere
  SettleFeed();
}

void PosixService::WatchSignals() {
  const bool watching = loop.WatchSignals({SIGTERM, SIGINT, SIGHUP}, [this](int number) {
    // SIGHUP (systemctl reload) reads the settings again, in turn like any request.
    if (number == SIGHUP) {
      Say(LogLevel::kInfo, "signal=SIGHUP reloading");
      return control.TakeOwn(MakeRequest(RequestKind::kReload),
                             [this](const Answer&) { SettleFeed(); });
    }
    Say(LogLevel::kInfo, std::string("signal=") + SignalName(number) + " ending");
    if (QV_MainForm* form = app.MainForm()) form->OnQueryClose(CloseReason::kSignal);
  });
  if (!watching) {
    Say(LogLevel::kWarning, "warning=\"signals cannot be watched: SIGTERM ends at once\"");
  }
}

int PosixService::Run() {
  // While timedated is asked, the ports are still served and signals still heard.
  clock.SetSystemWait([this](int fd, std::int64_t maxUs) { loop.YieldWatching(fd, maxUs); });
  // What the window would show; a hint about its keys means nothing here.
  messageView.onLine = [this](const std::string& line) {
    Say(line.find("F1") != std::string::npos ? LogLevel::kDebug : LogLevel::kInfo, line);
  };
  control.AddListener(bus);
  window.onRow = [this](int row, const std::string& line) { RowSettled(row, line); };
  // The form has closed the port, stopped its timers and saved what it keeps: end at once,
  // as the window does, so that no handler runs after this.
  window.onQuit = [this] {
    Say(LogLevel::kInfo, "stop");
    std::fflush(nullptr);
    ::_exit(kExitOk);
  };
  WatchSignals();
  serial.onOpen = [this](int fd) {
    portFd = fd;
    if (Feeding()) WatchPort(fd);
  };
  serial.onClose = [this](int fd) {
    if (portWatched) loop.UnwatchFd(fd);
    portWatched = false;
    portFd = -1;
  };
  // Jumps of the local time reach the form through the clock.
  loop.WatchFd(clock.WatchJumps(), [this] {
    clock.CheckJumps();
    return true;
  });
  loop.WatchFd(resume.Fd(), [this] { return resume.Process(); });

  if (!app.Start()) return kExitRunning;
  control.Started();
  WatchDevices();
  if (bus.Start()) {
    loop.WatchFd(bus.Fd(), [this] {
      bus.Process();
      return true;
    });
    // A write waits for the start of a second without the loop: readers are answered from
    // the state meanwhile, and the operations they ask for wait in the queue.
    clock.ServeDuringSleeps(bus.Fd(), [this] { bus.Process(); });
  }
  loop.Run();
  return kExitOk;
}

}  // namespace

int RunService(const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  // Before anything else starts: the right to set the clock is kept only by mode 2.
  AppConfig config;
  {
    RegFileStore registry(settingsPath);
    LoadConfig(registry, config);
  }
  const std::string clockRight = SettleClockRight(config.ConnectionMode, config.FeedTimeDaemon);
  const auto service = std::make_unique<PosixService>(settingsPath);
  service->Say(LogLevel::kInfo,
               "start version=" HORALIGN_VERSION " settings=" + LogValue(settingsPath) +
                   " mode=" + LogValue(ModeName(config.ConnectionMode)) +
                   " active=" + ActiveList(config.UsedComPorts) + " interval=" +
                   std::to_string(config.UpdateInterval) + " clock-right=" + clockRight +
                   (config.FeedTimeDaemon ? " time-daemon=" + LogValue(config.TimeDaemonSocket)
                                          : std::string()));
  return service->Run();
}

}  // namespace horalign
