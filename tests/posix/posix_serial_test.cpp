#include "platform/posix/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "core/serial/serial_comm.h"

namespace horalign {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal pair: the slave stands for a COM port, the master for the device.
// The test keeps its own descriptor of the slave so the pair lives between opens and
// the slave's line settings can be read back.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    slavePath = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(slave, 0);
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }

  // What the device receives within `limit`, up to `want` bytes.
  std::string ReadMaster(std::size_t want, std::chrono::milliseconds limit) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char buf[1024];
      const ssize_t n = ::read(master, buf, std::min(sizeof buf, want - got.size()));
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  void WriteMaster(const std::string& bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  termios SlaveTermios() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }

  int master = -1;
  int slave = -1;
  std::string slavePath;
};

// Bytes from the master reach the slave's queue a moment later.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return done();
}

struct PosixSerial : ::testing::Test {
  void Open(const std::string& settings) {
    serial.SetCommPort(1);
    serial.SetSettings(settings);
    serial.SetPortOpen(true);
  }
  Pty pty;
  std::map<int, std::string> paths{{1, pty.slavePath}};
  PosixSerialBackend backend{[this](int port) { return paths.count(port) ? paths[port] : ""; }};
  clsSerialCommAPI serial{backend};
};

TEST_F(PosixSerial, AReadOnAnIdleLineReturnsNothingAtOnce) {
  Open("9600,N,8,1");
  ASSERT_TRUE(serial.PortOpen());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serial.InputData(1), "");
  EXPECT_EQ(serial.InBufferCount(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(PosixSerial, ReceivedBytesAreCountedReadAndPurgedOnlyByACountOfZero) {
  Open("9600,N,8,1");
  pty.WriteMaster("ab\r\n\xff");
  ASSERT_TRUE(WaitUntil([&] { return serial.InBufferCount() == 5; }));
  EXPECT_EQ(serial.InputData(1), "a");
  EXPECT_EQ(serial.InputData(2), "b\r");
  serial.SetInBufferCount(5);
  EXPECT_EQ(serial.InBufferCount(), 2);
  serial.SetInBufferCount(0);
  EXPECT_EQ(serial.InBufferCount(), 0);
  EXPECT_EQ(serial.InputData(10), "");
}

TEST_F(PosixSerial, A4096ByteTextArrivesUnchangedAndALongerOneSendsNothing) {
  Open("9600,N,8,1");
  std::string text;
  for (int i = 0; i < 4096; ++i) text.push_back(static_cast<char>(i % 256));
  std::string received;
  std::thread device([&] { received = pty.ReadMaster(text.size(), 5s); });
  serial.SetOutputData(text);
  device.join();
  EXPECT_EQ(received, text);

  serial.SetOutputData(std::string(4097, 'x'));
  EXPECT_EQ(pty.ReadMaster(1, 50ms), "");
}

TEST_F(PosixSerial, APortClosedOnAnObjectOpensAgainOnIt) {
  for (const char* settings : {"9600,N,8,1", "1200,N,8,1", "38400,N,8,1"}) {
    Open(settings);
    ASSERT_TRUE(serial.PortOpen()) << settings;
    serial.SetOutputData("QT\r");
    EXPECT_EQ(pty.ReadMaster(3, 2s), "QT\r");
    serial.SetPortOpen(false);
    EXPECT_FALSE(serial.PortOpen());
  }
}

TEST_F(PosixSerial, PortsThatAreNotTerminalsOrTextsTheLineCannotTakeStayClosed) {
  const struct {
    std::string path, settings;
  } cases[] = {
      {"/nonexistent/ttyQ0", "9600,N,8,1"}, {"/dev/null", "9600,N,8,1"}, {"", "9600,N,8,1"},
      {pty.slavePath, "14400,N,8,1"},       {pty.slavePath, "abc"},      {pty.slavePath, "0"},
  };
  for (const auto& c : cases) {
    paths[1] = c.path;
    Open(c.settings);
    EXPECT_FALSE(serial.PortOpen()) << c.path << " " << c.settings;
  }
  paths[1] = pty.slavePath;
  Open("9600");  // no comma: the rest takes its defaults
  EXPECT_TRUE(serial.PortOpen());
}

TEST_F(PosixSerial, APortHeldByAnotherProgramStaysClosedUntilReleased) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
    char go;
    if (::write(ready[1], &ok, 1) != 1 || ::read(release[0], &go, 1) != 1) _exit(2);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  Open("9600,N,8,1");
  EXPECT_FALSE(serial.PortOpen());

  ASSERT_EQ(::write(release[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
  Open("9600,N,8,1");
  EXPECT_TRUE(serial.PortOpen());

  PosixSerialBackend other([this](int) { return pty.slavePath; });
  CommTimeouts saved;
  EXPECT_EQ(other.Open(1, "9600,N,8,1", {}, saved), 0) << "held by the first object";
}

TEST_F(PosixSerial, ClosingPutsBackTheLineAsItWasBefore) {
  termios before = pty.SlaveTermios();
  cfsetispeed(&before, B2400);
  cfsetospeed(&before, B2400);
  before.c_lflag |= ICANON | ECHO;
  before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  before = pty.SlaveTermios();

  Open("9600,N,8,1");
  ASSERT_TRUE(serial.PortOpen());
  EXPECT_EQ(pty.SlaveTermios().c_lflag & ICANON, 0u);
  serial.SetPortOpen(false);

  const termios after = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&after), B2400);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
}

constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

const struct LineCase {
  const char* settings;
  speed_t speed;
  tcflag_t lineBits;
} kLineCases[] = {
    {"9600,N,8,1", B9600, CS8},
    {"38400,N,8,1", B38400, CS8},
    {"1200,E,7,2", B1200, CS7 | PARENB | CSTOPB},
    {"2400,O,8,1", B2400, CS8 | PARENB | PARODD},
    {"300,M,7,1", B300, CS7 | PARENB | PARODD | CMSPAR},
    {"19200,S,6,2", B19200, CS6 | PARENB | CMSPAR | CSTOPB},
    {"115200,N,5,1", B115200, CS5},
};

TEST(RawLine, TheSettingsTextGivesSpeedParityDataAndStopBitsWithoutFlowControl) {
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IXOFF;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ICANON | ECHO | ISIG;
  cooked.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  cooked.c_cc[VMIN] = 1;
  for (const auto& c : kLineCases) {
    const auto t = RawLineTermios(cooked, *ParseLineSettings(c.settings));
    ASSERT_TRUE(t) << c.settings;
    EXPECT_EQ(cfgetispeed(&*t), c.speed) << c.settings;
    EXPECT_EQ(cfgetospeed(&*t), c.speed) << c.settings;
    EXPECT_EQ(t->c_cflag & kLineBits, c.lineBits) << c.settings;
    EXPECT_EQ(t->c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD}) << c.settings;
    EXPECT_EQ(t->c_lflag & (ICANON | ECHO | ISIG), 0u) << c.settings;
    EXPECT_EQ(t->c_iflag & (IXON | IXOFF | ICRNL), 0u) << c.settings;
    EXPECT_EQ(t->c_oflag & OPOST, 0u) << c.settings;
    EXPECT_EQ(t->c_cc[VMIN], 0);
    EXPECT_EQ(t->c_cc[VTIME], 0);
  }
  EXPECT_FALSE(RawLineTermios(cooked, *ParseLineSettings("14400,N,8,1")));
}

// Pseudo-terminals on some kernels keep only eight data bits without parity, so whether a
// line setting is applied or refused depends on what the slave keeps; both must hold.
TEST_F(PosixSerial, LineSettingsAreAppliedOrTheOpenIsRefusedWithTheLineUntouched) {
  for (const auto& c : kLineCases) {
    const termios before = pty.SlaveTermios();
    termios probe = before;
    probe.c_cflag = (probe.c_cflag & ~kLineBits) | c.lineBits;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &probe), 0);
    const bool kept = (pty.SlaveTermios().c_cflag & kLineBits) == c.lineBits;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);

    Open(c.settings);
    EXPECT_EQ(serial.PortOpen(), kept) << c.settings;
    const termios t = pty.SlaveTermios();
    if (kept) {
      EXPECT_EQ(cfgetospeed(&t), c.speed) << c.settings;
      EXPECT_EQ(t.c_cflag & kLineBits, c.lineBits) << c.settings;
      EXPECT_EQ(t.c_lflag & ICANON, 0u) << c.settings;
    } else {
      EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before)) << c.settings;
      EXPECT_EQ(t.c_cflag, before.c_cflag) << c.settings;
      EXPECT_EQ(t.c_lflag, before.c_lflag) << c.settings;
    }
    serial.SetPortOpen(false);
  }
}

TEST(PortPaths, ComesFromTheStoreOrDefaultsToTheMatchingTtyS) {
  struct Store : RegistryStore {
    std::optional<RegValue> Query(const std::string& key, const std::string& name) override {
      if (key != "Software\\Quorvane\\Horalign\\Ports") return std::nullopt;
      auto sz = [](std::string s) {
        return RegValue{kRegSz, std::vector<std::uint8_t>(s.c_str(), s.c_str() + s.size() + 1)};
      };
      if (name == "COM3") return sz("/dev/ttyUSB0");
      if (name == "COM4") return sz(" ");
      if (name == "COM5") return RegValue{kRegDword, {1, 0, 0, 0}};
      return std::nullopt;
    }
    bool SetString(const std::string&, const std::string&, const std::string&) override {
      return false;
    }
  } store;
  const auto resolve = MakeRegistryPortResolver(store);
  EXPECT_EQ(resolve(3), "/dev/ttyUSB0");
  EXPECT_EQ(resolve(4), "/dev/ttyS3");
  EXPECT_EQ(resolve(5), "/dev/ttyS4");
  EXPECT_EQ(resolve(1), "/dev/ttyS0");
  EXPECT_EQ(resolve(16), "/dev/ttyS15");
  EXPECT_EQ(resolve(0), "");
}

}  // namespace
}  // namespace horalign
