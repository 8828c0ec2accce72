#include "platform/posix/posix_serial.h"

#include <termios.h>

#include <atomic>
#include <tuple>
#include <utility>

#include "core/serial/serial_comm.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;
using SteadyClock = std::chrono::steady_clock;

// A pseudo-terminal pair: the master is the device's end, the slave's path the COM port.
struct Pty {
  Pty() : master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) {
    char name[128] = {};
    EXPECT_TRUE(::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                ::ptsname_r(master, name, sizeof name) == 0);
    path = name;
  }
  ~Pty() { ::close(master); }
  std::string Read(std::size_t want) const {  // what the device receives, waiting 5 s at most
    std::string got(want, '\0');
    std::size_t n = 0;
    for (pollfd p{master, POLLIN, 0}; n < want && ::poll(&p, 1, 5000) == 1;) {
      n += std::max<ssize_t>(::read(master, got.data() + n, want - n), 0);
    }
    return got.substr(0, n);
  }
  int master;
  std::string path;
};

// The test holds the slave open too, so that the pair lives between opens and the line
// settings can be read back.
struct PosixSerial : ::testing::Test {
  PosixSerial() : slave(::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~PosixSerial() override { ::close(slave); }
  void Open(const std::string& settings) {
    serial.SetCommPort(1);
    serial.SetSettings(settings);
    serial.SetPortOpen(true);
  }
  termios Line() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }
  Pty pty;
  int slave;
  std::string path = pty.path;
  PosixSerialBackend backend{[this](int port) { return port == 1 ? path : ""; }};
  clsSerialCommAPI serial{backend};
};

TEST_F(PosixSerial, BytesPassUnchangedBothWaysAndOnlyACountOfZeroPurges) {
  Open("9600");  // no comma: the rest takes its defaults
  ASSERT_TRUE(serial.PortOpen());
  const auto start = SteadyClock::now();
  EXPECT_EQ(serial.InputData(1), "") << "an idle line returns at once";
  EXPECT_LT(SteadyClock::now() - start, 500ms);
  std::string text;
  for (int i = 0; i < 4096; ++i) text.push_back(static_cast<char>(i % 256));
  std::string received;
  std::thread device([&] { received = pty.Read(text.size()); });
  serial.SetOutputData(text);
  device.join();
  EXPECT_EQ(received, text);

  ASSERT_EQ(::write(pty.master, "ab\r\n\x11\xff", 6), 6);
  for (int i = 0; i < 2000 && serial.InBufferCount() < 6; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(serial.InputData(3), "ab\r");
  serial.SetInBufferCount(5);
  // A terminal keeps unread input across a close and reopen, as the simulated line does.
  serial.SetPortOpen(false);
  serial.SetPortOpen(true);
  EXPECT_EQ(serial.InBufferCount(), 3);
  serial.SetInBufferCount(0);
  EXPECT_EQ(serial.InBufferCount(), 0);
  EXPECT_EQ(serial.InputData(10), "");
}

TEST_F(PosixSerial, PortsThatAreNotTerminalsHeldElsewhereOrTextsTheLineCannotTakeStayClosed) {
  Child holder(
      {"sh", "-c", "exec 9<>\"$0\" && flock -x 9 && echo held && exec sleep 60", pty.path});
  ASSERT_EQ(holder.ReadLine(5000), "held");
  const std::pair<std::string, std::string> cases[] = {
      {pty.path, "9600"}, {"/nonexistent/ttyQ0", "9600"}, {"/dev/null", "9600"}, {"", "9600"}};
  for (const auto& [where, settings] : cases) {
    path = where;
    Open(settings);
    EXPECT_FALSE(serial.PortOpen()) << where;
  }
  holder.Stop(SIGKILL);
  path = pty.path;
  for (const char* settings : {"14400,N,8,1", "abc", "0"}) {
    Open(settings);
    EXPECT_FALSE(serial.PortOpen()) << settings;
  }
}

constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// Pseudo-terminals on some kernels keep only eight data bits without parity, so whether a
// setting is applied or the open refused depends on what the slave keeps; both must hold,
// and closing puts the line back as it was.
TEST_F(PosixSerial, TheSettingsAreAppliedRawOrRefusedAndClosingPutsTheLineBack) {
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
    const termios after = Line();
    EXPECT_EQ(cfgetospeed(&after), B4800);
    EXPECT_EQ(std::tie(after.c_cflag, after.c_lflag, after.c_iflag, after.c_oflag),
              std::tie(before.c_cflag, before.c_lflag, before.c_iflag, before.c_oflag));
  }
}

// The device reads nothing, so the terminal's buffer fills and a write blocks (its time-out
// at 9600 baud is over 8 s) until the device goes away; a new device on a new terminal opens.
TEST(PosixSerialFault, ADeviceVanishingDuringAWriteEndsItAndTheLineGoesSilent) {
  auto device = std::make_unique<Pty>();
  PosixSerialBackend backend([&](int) { return device->path; });
  clsSerialCommAPI serial(backend);
  serial.SetSettings("9600,N,8,1");
  serial.SetPortOpen(true);
  ASSERT_TRUE(serial.PortOpen());
  std::atomic<bool> gone = false;
  std::thread pull([&] {
    std::this_thread::sleep_for(200ms);
    ::close(std::exchange(device->master, -1));
    gone = true;
  });
  const auto start = SteadyClock::now();
  for (int i = 0; i < 64 && !gone; ++i) serial.SetOutputData(std::string(4096, 'x'));
  EXPECT_LT(SteadyClock::now() - start, 3s);
  pull.join();
  serial.SetOutputData("P\r");  // goes nowhere, and returns
  EXPECT_EQ(serial.InputData(1), "");
  EXPECT_EQ(serial.InBufferCount(), 0);
  serial.SetPortOpen(true);
  EXPECT_FALSE(serial.PortOpen());
  device = std::make_unique<Pty>();
  serial.SetPortOpen(true);
  serial.SetOutputData("P\r");
  EXPECT_EQ(device->Read(2), "P\r");
}

}  // namespace
}  // namespace horalign
