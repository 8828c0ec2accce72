// The program: Qt faces, POSIX adapters and the core wired together.
#include <signal.h>

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "control/posix/service_bus_link.h"
#include "core/app/application.h"
#include "core/history/history_log.h"
#include "gui/app_icon.h"
#include "gui/busy_pointer.h"
#include "gui/loading_window.h"
#include "gui/main_window.h"
#include "gui/main_window_trace.h"
#include "gui/message_dialog.h"
#include "gui/qt_event_loop.h"
#include "gui/signal_bridge.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_clock_sync.h"
#include "platform/posix/posix_log_folder.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/resume_watch.h"

int main(int argc, char** argv) {
  using namespace horalign;
  TraceStartup("main");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", VersionCaption().c_str());
      return 0;
    }
  }

  QApplication qtApp(argc, argv);
  // Hiding the window to the tray is not the end: only the form ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QString::fromUtf8(kProgramName));
  QApplication::setWindowIcon(ClockIcon());

  RegFileStore registry;
  PosixSerialBackend serial(MakeRegistryPortResolver(registry));
  PosixClock clock;
  QtEventLoop loop;
  // While polkit asks for a password the window repaints and the timers go on.
  clock.SetSystemWait([&loop](int fd, std::int64_t maxUs) { loop.YieldWatching(fd, maxUs); });
  PosixInstanceGuard instance;
  MainWindow window;
  BusyPointer pointer;
  QtMessageDialog messageView;
  LoadingWindow loadingView(&window);
  // Passes the loading message through; notes start-up moments when asked to.
  StartupTrace trace(window, loadingView);

  PosixLogFolder historyFolder(PosixLogFolder::DefaultDir());
  HistoryLog history(historyFolder, [](const std::string& message) {
    std::fprintf(stderr, "Horalign: %s.\n", message.c_str());
  });
  window.SetHistoryFolder(&historyFolder);

  // Where the service runs, it owns the ports: the window is its client and opens none.
  std::unique_ptr<ServiceBusLink> service = ServiceBusLink::Connect();
  std::unique_ptr<QSocketNotifier> serviceNotifier;
  QTimer serviceTimeout;
  serviceTimeout.setSingleShot(true);
  if (service) {
    const auto pump = [&service, &serviceTimeout] {
      service->Process();
      if (const int ms = service->TimeoutMs(); ms >= 0) serviceTimeout.start(ms);
    };
    serviceNotifier = std::make_unique<QSocketNotifier>(service->Fd(), QSocketNotifier::Read);
    QObject::connect(serviceNotifier.get(), &QSocketNotifier::activated, pump);
    QObject::connect(&serviceTimeout, &QTimer::timeout, pump);
  }

  PosixClockSync clockSync;
  Application app(Platform{registry, serial, clock, loop, instance, window, pointer, messageView,
                           trace, &history, service.get(), &clockSync});
  window.SetForm([&app] { return app.MainForm(); });

  SignalBridge signalBridge([&app, &window](int) {
    // Before the main window's form exists (a refused second copy showing its message)
    // nothing is open or unsaved: end at once.
    if (!app.MainForm()) window.Quit();
    window.RequestClose(CloseReason::kSignal);
  });
  signalBridge.Install({SIGTERM, SIGINT, SIGHUP});
  QObject::connect(&qtApp, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.RequestClose(CloseReason::kSession); });

  // Jumps of the local time reach the form through the clock.
  std::unique_ptr<QSocketNotifier> jumpNotifier;
  if (const int fd = clock.WatchJumps(); fd >= 0) {
    jumpNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(jumpNotifier.get(), &QSocketNotifier::activated,
                     [&clock] { clock.CheckJumps(); });
  }
  ResumeWatch resume(clock);
  std::unique_ptr<QSocketNotifier> resumeNotifier;
  if (resume.Fd() >= 0) {
    resumeNotifier = std::make_unique<QSocketNotifier>(resume.Fd(), QSocketNotifier::Read);
    QSocketNotifier* notifier = resumeNotifier.get();
    QObject::connect(notifier, &QSocketNotifier::activated, [&resume, notifier] {
      if (!resume.Process()) notifier->setEnabled(false);
    });
  }

  // A second instance has told the user and ends here, having touched nothing.
  if (!app.Start()) return 0;
  return QApplication::exec();
}
