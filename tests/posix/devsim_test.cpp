#include <functional>
#include <map>

#include "core/serial/serial_comm.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/reg_file_store.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;
using Steady = std::chrono::steady_clock;
using Fields = std::vector<std::string>;

// The built simulator: COM1 a device that speaks only 1200 baud, COM2 one whose adapter is
// pulled 0.3 s after the start and plugged back 0.2 s later.
struct Devsim : ::testing::Test {
  // The first log line, split at tabs, of that port and kind that `accept` takes, waiting up
  // to 3 s for it to be written.
  Fields WaitForLog(const std::string& com, const std::string& kind,
                    const std::function<bool(const Fields&)>& accept = {}) {
    for (auto end = Steady::now() + 3s; Steady::now() < end; std::this_thread::sleep_for(5ms)) {
      std::stringstream log(ReadFile(dir.path + "/devsim.log"));
      for (std::string line; std::getline(log, line);) {
        Fields f;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
        if (f.size() > 3 && f[1] == com && f[2] == kind && (!accept || accept(f))) return f;
      }
    }
    ADD_FAILURE() << "no " << kind << " line for " << com;
    return Fields(4);
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

  TempDir dir;
  Child devsim{{HORALIGN_DEVSIM_PATH, "--ports-file", dir.path + "/Horalign.reg", "--log",
                dir.path + "/devsim.log", "--device", "com=1,letter=W,settings=1200", "--device",
                "com=2,letter=A,fault=unplug:0.3:0.2"}};
  // Each device prints "COMn <terminal>" once it is served.
  std::string started = devsim.ReadLine(5000).value_or("") + devsim.ReadLine(5000).value_or("");
  RegFileStore store{dir.path + "/Horalign.reg"};
  PosixSerialBackend backend{MakeRegistryPortResolver(store)};
  clsSerialCommAPI serial{backend};
};

TEST_F(Devsim, DevicesAnswerAtTheirSpeedComeBackOnANewTerminalAndEndOnSigterm) {
  // The port is open when the cable goes: the old terminal lives on until it is closed, so
  // the new one gets another name, and the mapping follows it.
  EXPECT_EQ(Exchange(2, "9600,N,8,1", "\r"), "?99\r");
  const std::string unplugged = WaitForLog("COM2", "UNPLUG")[3];
  serial.SetOutputData("\r");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(serial.InputData(64), "") << "nothing answers on a pulled cable";
  const auto plugged =
      WaitForLog("COM2", "PORT", [&](const Fields& f) { return f[3] != unplugged; });
  EXPECT_EQ(PortPathFromRegistry(store, 2), plugged[3]);
  EXPECT_EQ(PortPathFromRegistry(store, 5), "/dev/ttyS4") << "unmapped: the matching ttyS";
  EXPECT_EQ(Exchange(2, "9600,N,8,1", "\r"), "?99\r");

  EXPECT_EQ(Exchange(1, "9600,N,8,1", "\r", 300ms), "");
  EXPECT_EQ(WaitForLog("COM1", "NOISE").back(), "9600,N,8,1");
  EXPECT_EQ(Exchange(1, "1200,N,8,1", "\r"), "?99\r");
  // Fifteen characters of ten bits at 1200 baud: the last one ends 117 ms after the first.
  const auto sent = Steady::now();
  EXPECT_EQ(Exchange(1, "1200,N,8,1", "?000M\r", 2000ms), "00000W00000000\r");
  EXPECT_GE(Steady::now() - sent, 100ms);

  EXPECT_EQ(devsim.Stop(SIGTERM), 0);
  EXPECT_EQ(WaitForLog("-", "STOP").back(), "SIGTERM");
}

}  // namespace
}  // namespace horalign
