// The program: Qt faces, POSIX adapters and the core wired together.
#include <signal.h>

#include <QApplication>
#include <QSessionManager>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/app/application.h"
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
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"

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
  PosixInstanceGuard instance;
  MainWindow window;
  BusyPointer pointer;
  QtMessageDialog messageView;
  LoadingWindow loadingView(&window);
  // Passes the loading message through; notes start-up moments when asked to.
  StartupTrace trace(window, loadingView);

  Application app(
      Platform{registry, serial, clock, loop, instance, window, pointer, messageView, trace});
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

  // A second instance has told the user and ends here, having touched nothing.
  if (!app.Start()) return 0;
  return QApplication::exec();
}
