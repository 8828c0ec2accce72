// horalign-devsim: simulated devices served on pseudo-terminals in real time, for trying
// the program by hand, end-to-end tests and benchmarks. The command line and the log
// format are documented in DevsimUsage() (sim/devsim_options.cpp), printed by --help.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/history/history_log.h"
#include "platform/posix/posix_log_folder.h"
#include "platform/posix/reg_file_store.h"
#include "sim/devsim_log.h"
#include "sim/devsim_options.h"
#include "sim/devsim_server.h"
#include "sim/simulated_history.h"

namespace {

int stopPipe[2] = {-1, -1};

// Async-signal-safe: the signal number goes through the pipe to the poll loop.
extern "C" void OnStopSignal(int number) {
  const unsigned char byte = static_cast<unsigned char>(number);
  (void)!write(stopPipe[1], &byte, 1);
}

bool InstallStopSignals() {
  if (pipe(stopPipe) != 0) return false;
  for (int fd : stopPipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(stopPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A reader of standard output that goes away must not end the simulator.
  signal(SIGPIPE, SIG_IGN);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "horalign-devsim: %s\n", message.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace horalign;
  using namespace horalign::sim;

  const DevsimArgs args = ParseDevsimArgs(std::vector<std::string>(argv + 1, argv + argc));
  if (!args.options) return Fail(args.error + " (see --help)", 2);
  const DevsimOptions& options = *args.options;
  if (options.help) {
    std::fputs(DevsimUsage().c_str(), stdout);
    return 0;
  }

  std::FILE* logFile = stdout;
  if (!options.logPath.empty()) {
    logFile = std::fopen(options.logPath.c_str(), "w");
    if (logFile == nullptr) return Fail("cannot open the log " + options.logPath, 1);
  }
  if (!InstallStopSignals()) return Fail("cannot install the signal handlers", 1);

  std::unique_ptr<RegFileStore> store;
  if (options.writePorts) {
    store = options.portsFile.empty() ? std::make_unique<RegFileStore>()
                                      : std::make_unique<RegFileStore>(options.portsFile);
  }
  if (!options.historyDir.empty()) {
    PosixLogFolder folder(options.historyDir);
    std::string problem;
    HistoryLog history(folder, [&problem](const std::string& message) { problem = message; });
    std::vector<PastDevice> devices;
    for (const DevsimDevice& d : options.devices) {
      if (d.config.letter == kNoLetter) continue;  // a receiver is never written to
      devices.push_back({d.com, DevsimModelName(d.config), d.config.serial, d.config.driftPpm});
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    WriteSimulatedHistory(history, devices, std::int64_t{now.tv_sec} * 1000, options.historyDays,
                          60);
    if (!problem.empty()) return Fail(problem, 1);
  }
  DevsimLog log(logFile);
  DevsimServer server(options, log, store.get());
  std::string error;
  if (!server.Start(error)) return Fail(error, 1);
  for (const std::string& line : server.Summary()) std::printf("%s\n", line.c_str());
  std::fflush(stdout);

  const int stoppedBy = server.Run(stopPipe[0]);
  if (logFile != stdout) std::fclose(logFile);
  return stoppedBy < 0 ? Fail("poll failed", 1) : 0;
}
