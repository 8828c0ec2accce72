// horalign-history-bench LINES: writes a history of about LINES entries (four devices with
// hourly writes and read-backs) into a temporary folder as the program would, then opens the
// history window on it, offscreen, and prints "OPEN <ms>": from the window's construction to
// its first paint, the files read, the table filled and the plot drawn. Run by bench/run.py.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "core/history/history_log.h"
#include "gui/history_window.h"
#include "platform/posix/posix_log_folder.h"
#include "sim/simulated_history.h"

int main(int argc, char** argv) {
  using namespace horalign;
  if (argc != 2 || std::atoi(argv[1]) < 100) {
    std::fprintf(stderr, "usage: horalign-history-bench LINES (100 or more)\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir dir;
  PosixLogFolder folder(dir.path().toStdString());
  HistoryLog log(folder, [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); });
  const std::vector<sim::PastDevice> devices = {{1, "QM8340", "10001", 20},
                                                {2, "QM6840", "20002", -50},
                                                {3, "KR9010", "30003", 100},
                                                {4, "QM8340", "40004", 0}};
  const int hours = std::atoi(argv[1]) / static_cast<int>(devices.size());
  const int lines = sim::WriteSimulatedHistory(log, devices, 1'796'479'509'000, hours / 24 + 1, 60);
  if (log.Failed()) return 1;

  QElapsedTimer timer;
  timer.start();
  HistoryWindow window(folder);
  window.Reload();
  window.show();
  window.repaint();
  const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  std::printf("LINES %d\nOPEN %.3f\n", lines, ms);
  return 0;
}
