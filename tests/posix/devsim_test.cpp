#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/serial/serial_comm.h"
#include "core/util/civil.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "sim/devsim_log.h"
#include "sim/devsim_options.h"

extern char** environ;

namespace horalign::sim {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

std::int64_t RealNowUs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// The inverse of IsoUtcMicros.
std::int64_t FromIso(const std::string& text) {
  CivilTime t;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.year, &t.month, &t.day, &t.hour,
                        &t.minute, &t.second, &t.micro),
            7)
      << text;
  return ToEpochMicros(t);
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

// The built simulator, run as a child with its standard output on a pipe.
class Devsim {
 public:
  explicit Devsim(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    args.insert(args.begin(), HORALIGN_DEVSIM_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = fdopen(out[0], "r");
  }
  ~Devsim() {
    if (pid_ > 0 && !Stop(SIGKILL)) ADD_FAILURE() << "horalign-devsim did not end";
    if (stdout_ != nullptr) fclose(stdout_);
  }

  // The printed "COMn path ..." lines, by COM number, once `count` have come.
  std::map<int, std::string> Paths(int count) {
    std::map<int, std::string> paths;
    char line[512];
    while (static_cast<int>(paths.size()) < count && fgets(line, sizeof line, stdout_)) {
      int com = 0;
      char path[256] = {};
      if (std::sscanf(line, "COM%d %255s", &com, path) == 2) paths[com] = path;
    }
    return paths;
  }

  // Sends the signal and waits up to 5 s for the end; the wait status in `status`.
  bool Stop(int signal, int* status = nullptr) {
    kill(pid_, signal);
    int ignored = 0;
    for (auto end = Steady::now() + 5s; Steady::now() < end; std::this_thread::sleep_for(5ms)) {
      if (waitpid(pid_, status != nullptr ? status : &ignored, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
    }
    return false;
  }

  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::FILE* stdout_ = nullptr;
};

// The first log line, split at tabs, whose kind and port match and that `accept` takes,
// waiting up to 3 s for it to be written.
std::vector<std::string> WaitForLog(
    const std::string& path, const std::string& com, const std::string& kind,
    const std::function<bool(const std::vector<std::string>&)>& accept = [](const auto&) {
      return true;
    }) {
  for (auto end = Steady::now() + 3s; Steady::now() < end; std::this_thread::sleep_for(5ms)) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      auto fields = SplitTabs(line);
      if (fields.size() > 2 && fields[1] == com && fields[2] == kind && accept(fields)) {
        return fields;
      }
    }
  }
  ADD_FAILURE() << "no " << kind << " line for " << com;
  return {};
}

std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "horalign-devsim-XXXXXX";
  EXPECT_NE(mkdtemp(pattern.data()), nullptr);
  return pattern;
}

struct DevsimRun : ::testing::Test {
  void Start(const std::vector<std::string>& devices) {
    std::vector<std::string> args{"--ports-file", portsFile, "--log", logFile};
    for (const std::string& d : devices) args.insert(args.end(), {"--device", d});
    devsim.emplace(args);
    paths = devsim->Paths(static_cast<int>(devices.size()));
    ASSERT_EQ(paths.size(), devices.size());
  }
  // Two devices: a UTC-keeping QM8340 at 9600 on COM1, a QM6840 that speaks only 1200 on
  // COM2.
  void StartTwo() {
    Start({"com=1,letter=W,serial=ABCDE,settings=9600", "com=2,letter=A,settings=1200"});
  }

  // Opens COM n, sends the text and collects what comes back until a CR or `limit`.
  std::string Exchange(int com, const std::string& settings, const std::string& text,
                       std::chrono::milliseconds limit = 1000ms) {
    serial.SetCommPort(com);
    serial.SetSettings(settings);
    serial.SetPortOpen(true);
    EXPECT_TRUE(serial.PortOpen()) << "COM" << com;
    serial.SetOutputData(text);
    std::string got;
    for (auto end = Steady::now() + limit; Steady::now() < end && !got.ends_with('\r');) {
      got += serial.InputData(64);
      std::this_thread::sleep_for(1ms);
    }
    return got;
  }

  std::string dir = MakeTempDir();
  std::string portsFile = dir + "/Horalign.reg";
  std::string logFile = dir + "/devsim.log";
  std::optional<Devsim> devsim;
  std::map<int, std::string> paths;
  RegFileStore store{portsFile};
  PosixSerialBackend backend{MakeRegistryPortResolver(store)};
  clsSerialCommAPI serial{backend};
};

TEST_F(DevsimRun, ADeviceAnswersTheProbeAndTheIdentificationQueryThroughTheSerialPort) {
  StartTwo();
  EXPECT_EQ(Exchange(1, "9600,N,8,1", "\r"), "?99\r");
  const std::int64_t sentUs = RealNowUs();
  EXPECT_EQ(Exchange(1, "9600,N,8,1", "?000M\r"), "EDCBAW00000000\r");
  const std::int64_t answeredUs = RealNowUs();

  // The frame's first byte is stamped on arrival, between sending and the answer.
  const auto frame = WaitForLog(logFile, "COM1", "FRAME",
                                [](const auto& f) { return f.size() == 6 && f[5] == "?000M"; });
  ASSERT_EQ(frame.size(), 6u);
  const std::int64_t firstUs = FromIso(frame[3]);
  EXPECT_GE(firstUs, sentUs);
  EXPECT_LE(firstUs, answeredUs);
  EXPECT_EQ(frame[4], MillisPastSecond(firstUs));
  const auto reply = WaitForLog(logFile, "COM1", "SEND", [](const auto& f) {
    return f.size() == 6 && f[4] == "EDCBAW00000000\\r";
  });
  EXPECT_EQ(reply.back(), "ok");
}

TEST_F(DevsimRun, ATimeSetIsAcknowledgedAndLogsTheDevicesNewClockAndItsOffset) {
  StartTwo();
  EXPECT_EQ(Exchange(1, "9600,N,8,1", "PT120000\r"), "*\r");
  const auto fixed = WaitForLog(logFile, "COM1", "CLOCK",
                                [](const auto& f) { return f.size() == 6 && f[3] == "PT120000"; });
  ASSERT_EQ(fixed.size(), 6u);
  EXPECT_TRUE(fixed[4].ends_with("T12:00:00.000Z")) << fixed[4];

  // Set to the second being read now, the device lags the PC clock by less than a second.
  const CivilTime now = FromEpochMicros(RealNowUs());
  char command[32];
  std::snprintf(command, sizeof command, "T%02d%02d%02d%02d%02d%02dU?W", now.hour, now.minute,
                now.second, now.month, now.day, now.year % 100);
  EXPECT_EQ(Exchange(1, "9600,N,8,1", std::string(command) + "\r"), "*\r");
  const auto aligned = WaitForLog(logFile, "COM1", "CLOCK",
                                  [&](const auto& f) { return f.size() == 6 && f[3] == command; });
  ASSERT_EQ(aligned.size(), 6u);
  const double offsetMs = std::stod(aligned[5]);
  EXPECT_LE(offsetMs, 0.0);
  EXPECT_GT(offsetMs, -1200.0);
}

TEST_F(DevsimRun, ADeviceAnswersOnlyAtItsOwnSpeedAndPacesItsOutputAtIt) {
  StartTwo();
  EXPECT_EQ(Exchange(2, "9600,N,8,1", "\r", 300ms), "");
  const auto noise = WaitForLog(logFile, "COM2", "NOISE");
  ASSERT_EQ(noise.size(), 5u);
  EXPECT_EQ(noise[4], "9600,N,8,1");

  EXPECT_EQ(Exchange(2, "1200,N,8,1", "\r"), "?99\r");
  // Fifteen characters of ten bits at 1200 baud: the last one ends 117 ms after the first.
  serial.SetOutputData("?000M\r");
  std::optional<Steady::time_point> first;
  std::string got;
  for (auto end = Steady::now() + 2s; Steady::now() < end && !got.ends_with('\r');) {
    const std::string bytes = serial.InputData(64);
    if (!bytes.empty() && !first) first = Steady::now();
    got += bytes;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(got, "00000A00000000\r");
  EXPECT_GE(Steady::now() - *first, 100ms);
}

TEST_F(DevsimRun, AnIdleSimulatorUsesNoMeasurableCpuAndEndsCleanlyOnSigterm) {
  StartTwo();
  EXPECT_EQ(Exchange(1, "9600,N,8,1", "\r"), "?99\r");
  const auto cpuTicks = [this] {
    std::ifstream in("/proc/" + std::to_string(devsim->Pid()) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::stringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  };
  const long before = cpuTicks();
  std::this_thread::sleep_for(1s);
  EXPECT_LE(cpuTicks() - before, 2);

  int status = 0;
  ASSERT_TRUE(devsim->Stop(SIGTERM, &status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(WaitForLog(logFile, "-", "STOP").back(), "SIGTERM");
}

TEST_F(DevsimRun, AnUnpluggedDeviceComesBackOnANewTerminalAndTheMappingFollows) {
  Start({"com=3,letter=W,fault=unplug:0.3:0.2"});
  // The port is open when the cable goes: the old terminal lives on until it is closed,
  // so the new one gets another name.
  EXPECT_EQ(Exchange(3, "9600,N,8,1", "\r"), "?99\r");
  WaitForLog(logFile, "COM3", "UNPLUG");
  serial.SetOutputData("\r");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(serial.InputData(64), "") << "nothing answers on a pulled cable";

  const auto plugged = WaitForLog(logFile, "COM3", "PORT",
                                  [&](const auto& f) { return f.size() > 3 && f[3] != paths[3]; });
  ASSERT_GT(plugged.size(), 3u);
  EXPECT_EQ(PortPathFromRegistry(store, 3), plugged[3]);
  EXPECT_EQ(Exchange(3, "9600,N,8,1", "\r"), "?99\r");
}

TEST(DevsimOptions, ADeviceTextSetsWhatItNames) {
  std::string error;
  const auto d = ParseDeviceOption(
      "com=16,letter=none,serial=XY9,settings=1200:E:7:2,offset=-3.5,drift=20,events=5,"
      "part=0371461,clock=local,fault=late:900,fault=nocr,fault=unplug:30:5",
      error);
  ASSERT_TRUE(d.has_value()) << error;
  EXPECT_EQ(d->com, 16);
  EXPECT_EQ(d->config.letter, kNoLetter);
  EXPECT_EQ(d->config.serial, "XY9");
  EXPECT_EQ(d->config.settings, "1200,E,7,2");
  EXPECT_DOUBLE_EQ(d->config.clockOffsetSeconds, -3.5);
  EXPECT_DOUBLE_EQ(d->config.driftPpm, 20);
  EXPECT_EQ(d->config.eventEverySeconds, 5);
  EXPECT_EQ(d->config.partNumber, "0371461");
  EXPECT_EQ(d->config.keepsUtc, false);
  EXPECT_EQ(d->config.replyDelayUs, 900'000);
  EXPECT_TRUE(d->config.missingCr);
  EXPECT_EQ(d->unplugAfterSeconds, 30.0);
  EXPECT_EQ(d->unplugForSeconds, 5.0);
  EXPECT_EQ(ParseDeviceOption("com=1,settings=38400", error)->config.settings, "38400,N,8,1");
}

TEST(DevsimOptions, TextsOutsideTheSyntaxAreRefusedWithAReason) {
  for (const char* desc :
       {"letter=W", "com=0", "com=17", "com=1,letter=w", "com=1,letter=WX", "com=1,settings=9600:Q",
        "com=1,offset=abc", "com=1,fault=late", "com=1,fault=unplug:x", "com=1,fault=jam",
        "com=1,colour=red", "com=1,serial=", "com=1,part=03x", "com=1 letter=W"}) {
    std::string error;
    EXPECT_FALSE(ParseDeviceOption(desc, error).has_value()) << desc;
    EXPECT_FALSE(error.empty()) << desc;
  }
  EXPECT_FALSE(ParseDevsimArgs({"--device", "com=1", "--device", "com=1"}).options);
  EXPECT_FALSE(ParseDevsimArgs({}).options);
  EXPECT_FALSE(ParseDevsimArgs({"--log"}).options);
  EXPECT_TRUE(ParseDevsimArgs({"--help"}).options->help);
}

TEST(DevsimLogFormat, FieldsNeverHoldTabsOrLineEndsAndTimesKeepTheirSign) {
  EXPECT_EQ(EscapeBytes("?99\r\n\t\\*\x01\xFE"), "?99\\r\\n\\t\\\\*\\x01\\xFE");
  EXPECT_EQ(MillisText(-1'234'567), "-1234.567");
  EXPECT_EQ(MillisText(-5), "-0.005");
  EXPECT_EQ(MillisText(42), "0.042");
  EXPECT_EQ(MillisPastSecond(1'700'000'000'012'345), "12.345");
  EXPECT_EQ(IsoUtcMicros(1'700'000'000'012'345), "2023-11-14T22:13:20.012345Z");
  EXPECT_EQ(IsoMillis(1'700'000'000'999'999, false), "2023-11-14T22:13:20.999");
}

}  // namespace
}  // namespace horalign::sim
