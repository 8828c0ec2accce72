// horalign-bench: the core with the real POSIX serial ports, settings file and clock, on a
// minimal real event loop, with recording windows. Run by bench/run.py, which sets the
// private XDG folders and serves the devices with horalign-devsim.
//
//   horalign-bench align ROW[,ROW...] WRITES [MAX_GAP_MS]
//     writes the time to the rows' devices in turn, WRITES times, with a random pause of
//     up to MAX_GAP_MS before each; prints one WRITE line per time command sent.
//   horalign-bench verify ROW[,ROW...]
//     writes the time to the rows' devices with their read-backs, as a verified update
//     cycle does, and prints the longest time between two ticks of a 50 ms timer, less the
//     sleeps to a second's start (the one wait that may block).
//   horalign-bench connect PORT
//     connects the port's device and prints the wall and CPU time it took.
//   horalign-bench readpc READINGS
//     mode 2 on the settings' one active port: waits for READINGS readings of its device
//     that would step the PC clock and prints the offset of each (the clock is not set).
//   horalign-bench floor TTY WRITES [MAX_GAP_MS]
//     the same measurement without the program: a bare write() of a UTC time command to
//     TTY at 1 ms past a boundary, WRITES times; prints the same WRITE lines.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/app/application.h"
#include "core/ui/port_list.h"
#include "core/util/civil.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/poll_event_loop.h"
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

// Printed only when the run is over: a line per write would wake the reading runner
// just as the simulator should take the bytes, on a machine with few cores.
std::vector<std::string>& WriteLines() {
  static std::vector<std::string> lines;
  return lines;
}

void NoteWrite(std::int64_t wokeUs, std::int64_t startUs, std::int64_t endUs,
               std::string_view text) {
  WriteLines().push_back("WRITE woke_us=" + std::to_string(wokeUs) +
                         " start_us=" + std::to_string(startUs) +
                         " drained_us=" + std::to_string(endUs) + " text=" + std::string(text));
}

void PrintWrites() {
  for (const std::string& line : WriteLines()) std::printf("%s\n", line.c_str());
}

// The real clock, noting when its last sleep ended, so a late wake-up can be told apart
// from time spent between the wake-up and the write.
class TimedClock : public Clock {
 public:
  CivilTime UtcNow() override { return inner_.UtcNow(); }
  CivilTime LocalNow() override { return inner_.LocalNow(); }
  // A benchmark never sets the machine's clock: the step asked for is noted as the offset
  // from the clock's time when it was asked.
  ClockSetResult SetLocal(const CivilTime& target) override {
    steps_.push_back((ToEpochMicros(target) - ToEpochMicros(inner_.LocalNow())) / 1e6);
    return ClockSetResult::kNoRight;
  }
  const std::vector<double>& Steps() const { return steps_; }
  void SleepMicros(std::int64_t micros) override {
    const std::int64_t startUs = MonotonicUs();
    inner_.SleepMicros(micros);
    wokeUs_ = RealtimeUs();
    // A sleep that ends just past a whole second is a wait for a second's start.
    if (wokeUs_ % 1'000'000 >= 1'000 && wokeUs_ % 1'000'000 < 100'000) {
      secondStarts_.emplace_back(startUs, MonotonicUs());
    }
  }
  std::int64_t WokeUs() const { return wokeUs_; }
  // Monotonic (start, end) of the sleeps to a second's start.
  const std::vector<std::pair<std::int64_t, std::int64_t>>& SecondStarts() const {
    return secondStarts_;
  }

 private:
  PosixClock inner_;
  std::int64_t wokeUs_ = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> secondStarts_;
  std::vector<double> steps_;
};

// The real backend, noting when each time command is handed to the operating system, so a
// late arrival can be told apart from a late start.
class TimedBackend : public SerialBackend {
 public:
  TimedBackend(SerialBackend& inner, const TimedClock& clock) : inner_(inner), clock_(clock) {}

  bool CommOpen(int port, const std::string& settings, const CommTimeouts& timeouts,
                CommHandle& handle, CommTimeouts& saved) override {
    return inner_.CommOpen(port, settings, timeouts, handle, saved);
  }
  bool CommClose(CommHandle handle, const CommTimeouts& saved) override {
    return inner_.CommClose(handle, saved);
  }
  std::string CommRead(CommHandle handle, int maxBytes) override {
    return inner_.CommRead(handle, maxBytes);
  }
  int CommWrite(CommHandle handle, std::string_view bytes) override {
    const std::int64_t startUs = RealtimeUs();
    const int written = inner_.CommWrite(handle, bytes);
    const std::int64_t endUs = RealtimeUs();
    if (bytes.starts_with("T") || bytes.starts_with("PT"))
      NoteWrite(clock_.WokeUs(), startUs, endUs, bytes.substr(0, bytes.find('\r')));
    return written;
  }
  void CommFlush(CommHandle handle) override { inner_.CommFlush(handle); }
  void CommPurgeInput(CommHandle handle) override { inner_.CommPurgeInput(handle); }
  void CommPurgeOutput(CommHandle handle) override { inner_.CommPurgeOutput(handle); }
  int CommInputCount(CommHandle handle) override { return inner_.CommInputCount(handle); }

 private:
  SerialBackend& inner_;
  const TimedClock& clock_;
};

struct Program {
  RegFileStore registry;
  PosixSerialBackend posixSerial{MakeRegistryPortResolver(registry)};
  TimedClock clock;
  TimedBackend serial{posixSerial, clock};
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
  PrintWrites();
  std::printf("DONE writes=%d accepted=%d\n", writes, accepted);
  return accepted == writes ? 0 : 1;
}

int Verify(Program& p, const std::vector<int>& rows) {
  QV_MainForm& form = *p.app.MainForm();
  std::vector<std::int64_t> ticks;
  const auto ticker = p.loop.CreateTimer(50, true, [&ticks] { ticks.push_back(MonotonicUs()); });
  p.loop.RunForMs(120);  // the timer's first ticks, so the first gap is one of the cycle's
  int accepted = 0;
  for (const int row : rows)
    accepted += form.Sync().WriteTime(static_cast<std::int16_t>(row), true);
  p.loop.RunForMs(120);
  std::int64_t longestUs = 0;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    std::int64_t gapUs = ticks[i] - ticks[i - 1];
    for (const auto& [from, to] : p.clock.SecondStarts()) {
      gapUs -= std::max<std::int64_t>(0, std::min(to, ticks[i]) - std::max(from, ticks[i - 1]));
    }
    longestUs = std::max(longestUs, gapUs);
  }
  std::printf("VERIFY rows=%zu accepted=%d ticks=%zu longest_gap_ms=%.3f\n", rows.size(), accepted,
              ticks.size(), longestUs / 1000.0);
  return accepted == static_cast<int>(rows.size()) ? 0 : 1;
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

// Mode 2 as the service runs it without the feed: the port is polled by the program's own
// monitor, and every reading counts (the interval's last two minutes, for good).
int ReadPc(Program& p, std::size_t readings) {
  QV_MainForm& form = *p.app.MainForm();
  const auto lastMinutes = p.loop.CreateTimer(1000, true, [&form] { form.SetMinuteCount(58); });
  form.SetMinuteCount(58);
  const std::int64_t deadlineUs = MonotonicUs() + std::int64_t{70} * 1'000'000 * readings;
  while (p.clock.Steps().size() < readings && MonotonicUs() < deadlineUs) p.loop.RunForMs(200);
  for (double offset : p.clock.Steps()) std::printf("READ offset_s=%.6f\n", offset);
  return p.clock.Steps().size() >= readings ? 0 : 1;
}

void SleepUntilRealtimeUs(std::int64_t us) {
  const timespec deadline{static_cast<time_t>(us / 1'000'000),
                          static_cast<long>(us % 1'000'000) * 1000};
  while (::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// What this machine's timers and pseudo-terminals allow at best: the program's figure is
// read against it.
int Floor(const char* tty, int writes, int maxGapMs) {
  const int fd = ::open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::perror(tty);
    return 2;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> gap(0, maxGapMs);
  for (int i = 0; i < writes; ++i) {
    SleepUntilRealtimeUs(RealtimeUs() + gap(random) * std::int64_t{1000});
    const std::int64_t now = RealtimeUs();
    SleepUntilRealtimeUs(now - now % 1'000'000 + 1'001'000);
    const std::int64_t startUs = RealtimeUs();
    const time_t seconds = static_cast<time_t>(startUs / 1'000'000);
    tm utc{};
    ::gmtime_r(&seconds, &utc);
    char frame[32];
    std::snprintf(frame, sizeof frame, "T%02d%02d%02d%02d%02d%02dU?W\r", utc.tm_hour, utc.tm_min,
                  utc.tm_sec, utc.tm_mon + 1, utc.tm_mday, utc.tm_year % 100);
    const ssize_t n = ::write(fd, frame, std::strlen(frame));
    if (n != static_cast<ssize_t>(std::strlen(frame))) {
      std::perror("write");
      return 2;
    }
    NoteWrite(startUs, startUs, RealtimeUs(), std::string_view(frame, std::strlen(frame) - 1));
    // The device's acknowledge is not looked at; drop it before the next write.
    SleepUntilRealtimeUs(RealtimeUs() + 100'000);
    ::tcflush(fd, TCIFLUSH);
  }
  ::close(fd);
  PrintWrites();
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: horalign-bench align ROW[,ROW...] WRITES [MAX_GAP_MS]\n"
               "       horalign-bench verify ROW[,ROW...]\n"
               "       horalign-bench connect PORT\n"
               "       horalign-bench readpc READINGS\n"
               "       horalign-bench floor TTY WRITES [MAX_GAP_MS]\n");
  return 2;
}

}  // namespace
}  // namespace horalign::bench

int main(int argc, char** argv) {
  using namespace horalign::bench;
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "floor") {
    if (argc < 4) return Usage();
    return Floor(argv[2], std::atoi(argv[3]), argc > 4 ? std::atoi(argv[4]) : 0);
  }
  if (command != "align" && command != "verify" && command != "connect" && command != "readpc")
    return Usage();

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
  if (command == "verify") return Verify(program, ParseRows(argv[2]));
  if (command == "readpc") return ReadPc(program, static_cast<std::size_t>(std::atoi(argv[2])));
  return Connect(program, std::atoi(argv[2]));
}
