// horalign-bench: the core with the real POSIX serial ports, settings file and clock, on a
// minimal real event loop, with recording windows. Run by bench/run.py, which sets the
// private XDG folders and serves the devices with horalign-devsim.
//
//   horalign-bench align ROW[,ROW...] WRITES [MAX_GAP_MS]
//     writes the time to the rows' devices in turn, WRITES times, with a random pause of
//     up to MAX_GAP_MS before each; prints one WRITE line per time command sent.
//   horalign-bench connect PORT
//     connects the port's device and prints the wall and CPU time it took.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/poll_event_loop.h"
#include "core/app/application.h"
#include "core/ui/port_list.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "sim/fake_views.h"

namespace horalign::bench {
namespace {

std::int64_t RealtimeUs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_nsec / 1000;
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The real backend, noting when each time command is handed to the operating system, so a
// late arrival can be told apart from a late start.
class TimedBackend : public SerialBackend {
 public:
  explicit TimedBackend(SerialBackend& inner) : inner_(inner) {}

  CommHandle Open(int port, const std::string& settings, const CommTimeouts& timeouts,
                  CommTimeouts& saved) override {
    return inner_.Open(port, settings, timeouts, saved);
  }
  bool Close(CommHandle handle, const CommTimeouts& saved) override {
    return inner_.Close(handle, saved);
  }
  std::string Read(CommHandle handle, int maxBytes) override {
    return inner_.Read(handle, maxBytes);
  }
  int Write(CommHandle handle, std::string_view bytes) override {
    const std::int64_t startUs = RealtimeUs();
    const int written = inner_.Write(handle, bytes);
    const std::int64_t endUs = RealtimeUs();
    if (bytes.starts_with("T") || bytes.starts_with("PT")) {
      std::string text(bytes.substr(0, bytes.find('\r')));
      std::printf("WRITE start_us=%lld drained_us=%lld text=%s\n", static_cast<long long>(startUs),
                  static_cast<long long>(endUs), text.c_str());
      std::fflush(stdout);
    }
    return written;
  }
  void PurgeInput(CommHandle handle) override { inner_.PurgeInput(handle); }
  void PurgeOutput(CommHandle handle) override { inner_.PurgeOutput(handle); }
  int InputCount(CommHandle handle) override { return inner_.InputCount(handle); }

 private:
  SerialBackend& inner_;
};

struct Program {
  RegFileStore registry;
  PosixSerialBackend posixSerial{MakeRegistryPortResolver(registry)};
  TimedBackend serial{posixSerial};
  PosixClock clock;
  PollEventLoop loop;
  PosixInstanceGuard instance;
  sim::FakeMainWindow view;
  sim::FakePointer pointer;
  sim::FakeMessageDialog dialog{loop};
  sim::FakeLoading loading;
  Application app{
      Platform{registry, serial, clock, loop, instance, view, pointer, dialog, loading}};
};

std::vector<int> ParseRows(const std::string& text) {
  std::vector<int> rows;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t comma = text.find(',', pos);
    rows.push_back(std::atoi(text.substr(pos, comma - pos).c_str()));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return rows;
}

int Align(Program& p, const std::vector<int>& rows, int writes, int maxGapMs) {
  QV_MainForm& form = *p.app.MainForm();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> gap(0, maxGapMs);
  int accepted = 0;
  for (int i = 0; i < writes; ++i) {
    const int row = rows[static_cast<std::size_t>(i) % rows.size()];
    // A pause of random length, so that the writes begin at every phase of the second.
    p.loop.RunForMs(gap(random));
    if (form.Sync().WriteTime(static_cast<std::int16_t>(row))) ++accepted;
  }
  std::printf("DONE writes=%d accepted=%d\n", writes, accepted);
  return accepted == writes ? 0 : 1;
}

int Connect(Program& p, int port) {
  QV_MainForm& form = *p.app.MainForm();
  const double cpuBefore = CpuSeconds();
  const std::int64_t wallBefore = MonotonicUs();
  const bool found = form.Connection().ConnectDevice(static_cast<std::int16_t>(port));
  const double wall = (MonotonicUs() - wallBefore) / 1e6;
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("CONNECT found=%d wall_s=%.6f cpu_s=%.6f status=%s\n", found ? 1 : 0, wall, cpu,
              form.Ports().Cell(port, kColStatus).c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: horalign-bench align ROW[,ROW...] WRITES [MAX_GAP_MS]\n"
               "       horalign-bench connect PORT\n");
  return 2;
}

}  // namespace
}  // namespace horalign::bench

int main(int argc, char** argv) {
  using namespace horalign::bench;
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command != "align" && command != "connect") return Usage();

  Program program;
  if (!program.app.Start()) {
    std::fprintf(stderr, "horalign-bench: another instance holds the session\n");
    return 2;
  }
  if (command == "align") {
    if (argc < 4) return Usage();
    const int maxGapMs = argc > 4 ? std::atoi(argv[4]) : 0;
    return Align(program, ParseRows(argv[2]), std::atoi(argv[3]), maxGapMs);
  }
  return Connect(program, std::atoi(argv[2]));
}
