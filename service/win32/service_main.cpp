// The service on Windows: the program without a window under the service control manager,
// on the Win32 message loop, with its events in the Application log and its control
// interface on the named pipe. Run from a console (no service control manager behind it),
// the same body runs until Ctrl+C, logging to standard error as well.
#include "platform/win32/win32_api.h"

#include <sddl.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "control/exit_codes.h"
#include "control/pipe_sessions.h"
#include "control/win32/pipe_server.h"
#include "control/win32/pipe_trust.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "core/settings/app_config.h"
#include "core/settings/com_ports.h"
#include "core/ui/port_list.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_clock_sync.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_instance.h"
#include "platform/win32/win32_log_folder.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_serial.h"
#include "service/headless_views.h"
#include "service/operations.h"
#include "service/service_control.h"
#include "service/service_log.h"
#include "service/service_main.h"
#include "service/service_metrics.h"
#include "service/service_state.h"
#include "service/win32/event_log.h"

namespace horalign {
namespace {

constexpr char kServiceName[] = "Horalign";
constexpr const char* kSettingsName = "HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign";
// One service per machine, whoever runs it; horalign.exe holds a name per session.
constexpr const char* kServiceInstance = "Global\\Horalign.Service";
// The start-up scan probes 16 ports; the control manager waits this long for it.
constexpr DWORD kStartWaitMs = 120000;
constexpr DWORD kStopWaitMs = 30000;

// What the control manager's callbacks reach: it gives ServiceMain no context of its own.
struct Session {
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  DWORD bodyThread = 0;
  int exitCode = kExitOk;
};
Session* g_session = nullptr;

void Report(Session& session, DWORD state, DWORD waitHint = 0) {
  if (session.handle == nullptr) return;
  SERVICE_STATUS& s = session.status;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.dwWin32ExitCode = session.exitCode == kExitOk ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  s.dwServiceSpecificExitCode = static_cast<DWORD>(session.exitCode);
  s.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : s.dwCheckPoint + 1;
  s.dwWaitHint = waitHint;
  ::SetServiceStatus(session.handle, &s);
}

// A stop, from the control manager or the console, ends the body's loop in order: the
// message loop hands WM_QUIT to its quit handler, as a signal reaches the Linux service.
DWORD WINAPI OnControl(DWORD control, DWORD, void*, void* context) {
  Session& session = *static_cast<Session*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(session, SERVICE_STOP_PENDING, kStopWaitMs);
      ::PostThreadMessageA(session.bodyThread, WM_QUIT, 0, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_session != nullptr) ::PostThreadMessageA(g_session->bodyThread, WM_QUIT, 0, 0);
  return TRUE;
}

// The process token's SeSystemtimePrivilege: whether it is there, and its removal.
bool TokenPrivilege(bool remove, bool& held) {
  HANDLE token = nullptr;
  LUID luid{};
  if (!::LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &luid) ||
      !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token)) {
    held = false;
    return false;
  }
  // The token lists the privileges it has, enabled or not.
  DWORD size = 0;
  ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::string buffer(size, '\0');
  held = false;
  if (size > 0 && ::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
      const LUID& l = list->Privileges[i].Luid;
      held = held || (l.LowPart == luid.LowPart && l.HighPart == luid.HighPart);
    }
  }
  bool done = true;
  if (remove && held) {
    TOKEN_PRIVILEGES drop{1, {{luid, SE_PRIVILEGE_REMOVED}}};
    done = ::AdjustTokenPrivileges(token, FALSE, &drop, 0, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SUCCESS;
  }
  ::CloseHandle(token);
  return done;
}

// The right to set the clock is kept only by the mode that sets it.
std::string SettleClockRight(std::int16_t mode) {
  bool held = false;
  if (mode == kModePcFromDevice) {
    TokenPrivilege(false, held);
    return held ? "held" : "missing";
  }
  TokenPrivilege(false, held);
  if (!held) return "not-held";
  return TokenPrivilege(true, held) ? "dropped" : "could-not-drop";
}

// Whether the token holds the service's own SID, which its pipe's security names: without
// it (the service's SID type not set) Windows refuses it the pipe's instances after the first.
bool HoldsServiceSid() {
  PSID sid = nullptr;
  BOOL member = FALSE;
  const std::string text = ServiceSidOf(kTrustedServiceName);
  if (text.empty() || !::ConvertStringSidToSidA(text.c_str(), &sid)) return false;
  const bool held = ::CheckTokenMembership(nullptr, sid, &member) && member;
  ::LocalFree(sid);
  return held;
}

std::string ActiveList(std::int32_t mask) {
  std::string list;
  for (int n : PortsOfMask(static_cast<std::uint32_t>(mask))) {
    list += (list.empty() ? "" : ",") + ComName(n);
  }
  return list.empty() ? "none" : list;
}

// The service's body. `running` is called once the start-up scan is done and the pipe is
// served; `ended` once the form has closed its port and saved what it keeps.
int Body(const std::function<void()>& running, const std::function<void()>& ended) {
  ServiceEventLog events(stderr);
  Win32RegistryStore registry;
  AppConfig config;
  LoadConfig(registry, config);
  const std::string clockRight = SettleClockRight(config.ConnectionMode);
  events.Event(ServiceEventLog::Kind::kStart,
               "start version=" HORALIGN_VERSION " settings=" + LogValue(kSettingsName) +
                   " mode=" + std::to_string(config.ConnectionMode) +
                   " active=" + ActiveList(config.UsedComPorts) + " interval=" +
                   std::to_string(config.UpdateInterval) + " clock-right=" + clockRight +
                   " service-sid=" + (HoldsServiceSid() ? "held" : "missing"));

  Win32SerialBackend serial;
  Win32Clock clock;
  Win32EventLoop loop;
  Win32InstanceGuard instance(kServiceInstance);
  LogMainWindow window(stderr);
  NullPointer pointer;
  LogMessageDialog messageView(stderr);
  messageView.onLine = [&events](const std::string& line) {
    events.Event(ServiceEventLog::Kind::kMessage, line);
  };
  NullLoading loading;
  Win32LogFolder historyFolder(Win32LogFolder::DefaultDir());
  HistoryLog history(historyFolder, [&events](const std::string& message) {
    events.Event(ServiceEventLog::Kind::kWarning, "warning=" + LogValue(message));
  });
  MetricsHistory metrics(history);
  // Warnings and refusals are events; the rest goes to standard error, as a row's lines do.
  const ServiceLog say = [&events](LogLevel level, const std::string& line) {
    if (level == LogLevel::kWarning || level == LogLevel::kError) {
      events.Event(ServiceEventLog::Kind::kWarning, line);
    } else {
      events.Line(line);
    }
  };
  Win32ClockSync timeService;
  JournaledClockSync clockSync(timeService, say);
  Application app(Platform{registry, serial, clock, loop, instance, window, pointer, messageView,
                           loading, &metrics, nullptr, &clockSync});

  ServiceState state({app, metrics, &CommDevicePath, kSettingsName});
  ServiceOperations operations({app, window, registry, metrics, kSettingsName, say, &CommDevicePath,
                                [&state](int port) { return state.Row(port).path; }});
  ServiceControl control(app, operations, state, loop, say);
  std::unique_ptr<PipeServer> pipe;
  PipeSessions sessions(
      control,
      [&pipe](int client, const std::string& line) {
        if (pipe) pipe->Send(client, line);
      },
      [&pipe](int client) {
        if (pipe) pipe->Drop(client);
      });
  control.AddListener(sessions);
  pipe = std::make_unique<PipeServer>(
      PipeServer::Handlers{[&sessions](int client, const std::string& line, bool admin) {
                             sessions.Take(client, line, admin);
                           },
                           [&sessions](int client) { sessions.TooLong(client); },
                           [&sessions](int client) { sessions.Gone(client); }});
  window.onRow = [&](int row, const std::string& line) {
    events.Row(row, window.Cell(row, kColStatus), line);
    control.RowSettled(row);
  };
  // The form has closed the port, stopped its timers and saved what it keeps: end at once,
  // so that no handler runs after this.
  window.onQuit = [&events, &ended] {
    events.Event(ServiceEventLog::Kind::kStop, "stop");
    std::fflush(nullptr);
    ended();
  };
  loop.SetQuitHandler([&app, &events](int) {
    events.Line("control=stop ending");
    if (QV_MainForm* form = app.MainForm()) form->OnQueryClose(CloseReason::kSignal);
  });
  // Jumps of the local time reach the form through the clock, checked each second.
  const auto jumpCheck = loop.CreateTimer(1000, true, [&clock] { clock.CheckJumps(); });

  // The pipe's name first: a process that serves it already would have our clients.
  std::string taken;
  const bool claimed = pipe->Claim(taken);
  if (!claimed || !app.Start()) {
    const bool twice = claimed || !Win32InstanceGuard(kServiceInstance).Claim();
    events.Event(ServiceEventLog::Kind::kStartFailed,
                 "error=" + LogValue(twice ? "another Horalign service runs on this machine"
                                           : taken + ": the service does not start"));
    return kExitRunning;
  }
  control.Started();
  pipe->Listen();
  running();
  while (!loop.QuitReceived()) loop.Yield();
  return kExitOk;
}

void WINAPI ServiceMain(DWORD, char**) {
  Session& session = *g_session;
  session.bodyThread = ::GetCurrentThreadId();
  session.handle = ::RegisterServiceCtrlHandlerExA(kServiceName, &OnControl, &session);
  if (session.handle == nullptr) return;
  Report(session, SERVICE_START_PENDING, kStartWaitMs);
  const auto stopped = [&session] {
    Report(session, SERVICE_STOPPED);
    ::ExitProcess(static_cast<UINT>(session.exitCode));
  };
  session.exitCode = Body([&session] { Report(session, SERVICE_RUNNING); }, stopped);
  stopped();
}

}  // namespace

// The registry is always there to read; what cannot be written is said when it is written.
bool CheckSettingsFile(const std::string&) {
  return true;
}

int RunService(const std::string&) {
  Session session;
  g_session = &session;
  char name[sizeof kServiceName];
  std::copy(std::begin(kServiceName), std::end(kServiceName), name);
  SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  // Returns once the service has stopped; at once when no control manager started us.
  if (::StartServiceCtrlDispatcherA(table)) return session.exitCode;
  if (const DWORD code = ::GetLastError(); code != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fprintf(stderr,
                 "horalign-cli: the service control manager did not take the service (error %lu)\n",
                 static_cast<unsigned long>(code));
    return kExitFailed;
  }
  session.bodyThread = ::GetCurrentThreadId();
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  return Body([] {},
              [] {
                std::fflush(nullptr);
                ::ExitProcess(kExitOk);
              });
}

}  // namespace horalign
