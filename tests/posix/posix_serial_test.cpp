#include "platform/posix/posix_serial.h"

#include <termios.h>

#include <atomic>
#include <tuple>
#include <utility>

#include "core/serial/serial_comm.h"
#include "core/settings/registry.h"
#include "platform/posix/reg_file_store.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;
using Steady = std::chrono::steady_clock;

// Serial ports through termios, with every COM number the test uses mapped in a settings
// file of its own.
struct PosixSerial : ::testing::Test {
  void Map(int com, const std::string& path) {
    EXPECT_TRUE(store.SetString(kPortsKey, "COM" + std::to_string(com), path));
  }
  void Open(const std::string& settings, int com = 1) {
    serial.SetCommPort(com);
    serial.SetSettings(settings);
    serial.SetPortOpen(true);
  }
  TempDir dir;
  RegFileStore store{dir.path + "/Horalign.reg"};
  PosixSerialBackend backend{MakeRegistryPortResolver(store)};
  clsSerialCommAPI serial{backend};
};

// A pseudo-terminal pair on COM1: the master is the device's end. The test holds the slave
// open too, so that the pair lives between opens and the line settings can be read back.
struct PtyPort : PosixSerial {
  PtyPort() {
    char name[128] = {};
    EXPECT_TRUE(::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                ::ptsname_r(master, name, sizeof name) == 0);
    path = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    Map(1, path);
  }
  ~PtyPort() override {
    ::close(slave);
    ::close(master);
  }
  std::string Read(std::size_t want) const {  // what the device receives, waiting 5 s at most
    std::string got(want, '\0');
    std::size_t n = 0;
    for (pollfd p{master, POLLIN, 0}; n < want && ::poll(&p, 1, 5000) == 1;)
      n += std::max<ssize_t>(::read(master, got.data() + n, want - n), 0);
    return got.substr(0, n);
  }
  termios Line() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK), slave = -1;
  std::string path;
};

// (That only a count of zero purges is the port object's rule: SerialPort in tests/core.)
TEST_F(PtyPort, BytesPassUnchangedBothWaysAndUnreadInputOutlivesAReopenTillPurged) {
  Open("9600");  // no comma: the rest takes its defaults
  ASSERT_TRUE(serial.PortOpen());
  const auto start = Steady::now();
  EXPECT_EQ(serial.InputData(1), "") << "an idle line returns at once";
  EXPECT_LT(Steady::now() - start, 500ms);
  std::string text;
  for (int i = 0; i < 4096; ++i) text.push_back(static_cast<char>(i % 256));
  std::string received;
  std::thread device([&] { received = Read(text.size()); });
  serial.SetOutputData(text);
  device.join();
  EXPECT_EQ(received, text);

  ASSERT_EQ(::write(master, "ab\r\n\x11\xff", 6), 6);
  for (int i = 0; i < 2000 && serial.InBufferCount() < 6; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(serial.InputData(3), "ab\r");
  // A terminal keeps unread input across a close and reopen, as the simulated line does.
  serial.SetPortOpen(false);
  serial.SetPortOpen(true);
  EXPECT_EQ(serial.InBufferCount(), 3);
  serial.SetInBufferCount(0);
  EXPECT_EQ(serial.InputData(10) + std::to_string(serial.InBufferCount()), "0");
}

TEST_F(PtyPort, PortsThatAreNotTerminalsHeldElsewhereOrTextsTheLineCannotTakeStayClosed) {
  Child holder({"sh", "-c", "exec 9<>\"$0\" && flock -x 9 && echo held && exec sleep 60", path});
  ASSERT_EQ(holder.ReadLine(5000), "held");
  Open("9600");
  EXPECT_FALSE(serial.PortOpen()) << "held by another program";
  holder.Stop(SIGKILL);
  Map(2, "/dev/null");
  for (const auto& [settings, com] : {std::pair{"9600", 2}, {"9600", 0}, {"14400,N,8,1", 1}}) {
    Open(settings, com);  // not a terminal, not mapped, no speed constant
    EXPECT_FALSE(serial.PortOpen()) << settings << " COM" << com;
  }
  Open("9600");
  EXPECT_TRUE(serial.PortOpen()) << "released";
}

constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// Pseudo-terminals on some kernels keep only eight data bits without parity, so a setting is
// either applied or the open refused, depending on what the slave keeps; both must hold,
// and closing puts the line back as it was.
TEST_F(PtyPort, TheSettingsAreAppliedRawOrRefusedAndClosingPutsTheLineBack) {
  const struct {
    const char* settings;
    speed_t speed;
    tcflag_t lineBits;
  } cases[] = {{"9600,N,8,1", B9600, CS8},
               {"1200,E,7,2", B1200, CS7 | PARENB | CSTOPB},
               {"2400,O,8,1", B2400, CS8 | PARENB | PARODD},
               {"300,M,7,1", B300, CS7 | PARENB | PARODD | CMSPAR},
               {"19200,S,6,2", B19200, CS6 | PARENB | CMSPAR | CSTOPB},
               {"115200,N,5,1", B115200, CS5}};
  termios cooked = Line();
  cfsetospeed(&cooked, B4800);
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_cflag = (cooked.c_cflag & ~kLineBits) | CS7 | PARENB | CRTSCTS;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
  const termios before = Line();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    Open(c.settings);
    const bool kept = serial.PortOpen();
    EXPECT_TRUE(kept || c.lineBits != CS8) << "every terminal keeps eight bits, no parity";
    const termios open = Line();
    EXPECT_EQ(cfgetospeed(&open), kept ? c.speed : B4800);
    EXPECT_EQ(open.c_cflag & kLineBits, kept ? c.lineBits : before.c_cflag & kLineBits);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO), kept ? 0u : before.c_lflag & (ICANON | ECHO));
    serial.SetPortOpen(false);
    const termios after = Line();  // c_cflag holds the speed too
    EXPECT_EQ(std::tie(after.c_cflag, after.c_lflag, after.c_iflag, after.c_oflag),
              std::tie(before.c_cflag, before.c_lflag, before.c_iflag, before.c_oflag));
  }
}

// The device reads nothing, so the terminal's buffer fills and a write blocks (its time-out
// at 9600 baud is over 8 s) until the device goes away.
TEST_F(PtyPort, ADeviceVanishingDuringAWriteEndsItAndTheLineGoesSilent) {
  Open("9600,N,8,1");
  ASSERT_TRUE(serial.PortOpen());
  ::close(std::exchange(slave, -1));
  std::atomic<bool> gone = false;
  std::thread pull([&] {
    std::this_thread::sleep_for(200ms);
    ::close(std::exchange(master, -1));
    gone = true;
  });
  const auto start = Steady::now();
  for (int i = 0; i < 64 && !gone; ++i) serial.SetOutputData(std::string(4096, 'x'));
  EXPECT_LT(Steady::now() - start, 3s);
  pull.join();
  serial.SetOutputData("P\r");  // goes nowhere, and returns
  EXPECT_EQ(serial.InputData(1) + std::to_string(serial.InBufferCount()), "0");
  serial.SetPortOpen(true);
  EXPECT_FALSE(serial.PortOpen());
}

// The built simulator, mapping its terminals into the test's settings file: COM1 a device
// that speaks only 1200 baud, COM2 one whose adapter is pulled 0.3 s after the start and
// plugged back 0.2 s later.
struct Devsim : PosixSerial {
  // What follows `mark` on the first log line that has it and does not go on with `skip`,
  // waiting up to 3 s for it to be written.
  std::string WaitForLog(const std::string& mark, const std::string& skip = "\n") {
    for (auto end = Steady::now() + 3s; Steady::now() < end; std::this_thread::sleep_for(5ms)) {
      std::stringstream log(ReadFile(dir.path + "/devsim.log"));
      for (std::string line; std::getline(log, line);) {
        const auto at = line.find(mark);
        const std::string rest = at == line.npos ? skip : line.substr(at + mark.size());
        if (!rest.starts_with(skip)) return rest;
      }
    }
    ADD_FAILURE() << "no log line with " << mark;
    return "";
  }
  // Opens COM n, sends the text and collects what comes back until a CR or `limit`.
  std::string Exchange(int com, const std::string& settings, const std::string& text,
                       std::chrono::milliseconds limit = 1000ms) {
    Open(settings, com);
    EXPECT_TRUE(serial.PortOpen()) << "COM" << com;
    serial.SetOutputData(text);
    std::string got;
    for (auto end = Steady::now() + limit; Steady::now() < end && !got.ends_with('\r');) {
      got += serial.InputData(64);
      std::this_thread::sleep_for(1ms);
    }
    return got;
  }
  Child devsim{{HORALIGN_DEVSIM_PATH, "--ports-file", dir.path + "/Horalign.reg", "--log",
                dir.path + "/devsim.log", "--device", "com=1,letter=W,settings=1200", "--device",
                "com=2,letter=A,fault=unplug:0.3:0.2"}};
  // Each device prints "COMn <terminal>" once it is served.
  std::string started = devsim.ReadLine(5000).value_or("") + devsim.ReadLine(5000).value_or("");
};

TEST_F(Devsim, DevicesAnswerAtTheirSpeedComeBackOnANewTerminalAndEndOnSigterm) {
  // The port is open when the cable goes: the old terminal lives on until it is closed, so
  // the new one gets another name, and the mapping follows it.
  EXPECT_EQ(Exchange(2, "9600,N,8,1", "\r"), "?99\r");
  const std::string unplugged = WaitForLog("\tCOM2\tUNPLUG\t");
  serial.SetOutputData("\r");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(serial.InputData(64), "") << "nothing answers on a pulled cable";
  const std::string plugged = WaitForLog("\tCOM2\tPORT\t", unplugged + "\t");
  EXPECT_TRUE(plugged.starts_with(PortPathFromRegistry(store, 2) + "\t")) << plugged;
  EXPECT_EQ(Exchange(2, "9600,N,8,1", "\r"), "?99\r");
  Map(4, " ");
  EXPECT_EQ(PortPathFromRegistry(store, 4), "/dev/ttyS3") << "unmapped: the matching ttyS";

  EXPECT_EQ(Exchange(1, "9600,N,8,1", "\r", 300ms), "");
  EXPECT_TRUE(WaitForLog("\tCOM1\tNOISE\t").ends_with("\t9600,N,8,1"));
  // Fifteen characters of ten bits at 1200 baud take 125 ms.
  const auto sent = Steady::now();
  EXPECT_EQ(Exchange(1, "1200,N,8,1", "?000M\r", 2000ms), "00000W00000000\r");
  EXPECT_GE(Steady::now() - sent, 100ms);
  EXPECT_EQ(devsim.Stop(SIGTERM), 0);
  EXPECT_EQ(WaitForLog("\t-\tSTOP\t"), "SIGTERM");
}

}  // namespace
}  // namespace horalign
