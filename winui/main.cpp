// The Windows program: the native faces, the Win32 adapters and the core wired together.
#include "platform/win32/win32_api.h"

#include <commctrl.h>

#include <memory>

#include "control/win32/service_pipe_link.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_clock_sync.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_instance.h"
#include "platform/win32/win32_log_folder.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_serial.h"
#include "winui/loading_window.h"
#include "winui/main_window.h"
#include "winui/message_dialog.h"
#include "winui/pointer.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace horalign;
  using namespace horalign::winui;

  // The extended combo-box and list-view classes; a failure is no reason not to start.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;  // 8
  controls.dwICC = ICC_USEREX_CLASSES | ICC_LISTVIEW_CLASSES;
  ::InitCommonControlsEx(&controls);

  Win32RegistryStore registry;
  Win32SerialBackend serial;
  Win32Clock clock;
  Win32EventLoop loop;
  Win32InstanceGuard instance;
  Win32Pointer pointer;
  Win32MainWindow window(loop, pointer);
  Win32MessageDialog messageView(loop, pointer);
  Win32LoadingWindow loadingView(pointer, [&window] { return window.Handle(); });
  messageView.SetOwner([&window] { return window.Handle(); });
  messageView.SetModalHook([&window](bool blocked) { window.SetModalBlocked(blocked); });

  // A windowed program has no standard error to speak of; a history that cannot be kept
  // costs only itself.
  Win32LogFolder historyFolder(Win32LogFolder::DefaultDir());
  HistoryLog history(historyFolder, [](const std::string& message) {
    ::OutputDebugStringA(("Horalign: " + message + ".\n").c_str());
  });
  window.SetHistoryFolder(&historyFolder);

  // Where the service runs, it owns the ports: the window is its client and opens none.
  const std::unique_ptr<ServicePipeLink> service = ServicePipeLink::Connect(loop);

  Win32ClockSync clockSync;
  Application app(Platform{registry, serial, clock, loop, instance, window, pointer, messageView,
                           loadingView, &history, service.get(), &clockSync});
  window.SetForm([&app] { return app.MainForm(); });
  // Nothing in the program posts WM_QUIT; one from outside ends it in order.
  loop.SetQuitHandler([&window](int) { window.RequestClose(CloseReason::kSignal); });

  // Jumps of the local time reach the form through the clock: a step announced by
  // WM_TIMECHANGE or found at the check each second, which also sees the UTC offset change.
  window.SetTimeHooks([&clock] { clock.CheckJumps(); },
                      [&clock] { clock.NoticeJump({TimeJumpCause::kResume}); });
  const auto jumpCheck = loop.CreateTimer(1000, true, [&clock] { clock.CheckJumps(); });

  // A second instance has told the user and ends here, having touched nothing.
  if (!app.Start()) return 0;
  // The program ends through the form (TerminateProgram), which ends the process.
  while (!loop.QuitReceived()) loop.Yield();
  return 0;
}
