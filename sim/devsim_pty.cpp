#include "sim/devsim_pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/posix_serial.h"

namespace horalign::sim {

namespace {

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

std::optional<int> BaudOf(speed_t speed) {
  static constexpr std::pair<speed_t, int> kSpeeds[] = {
      {B50, 50},         {B75, 75},     {B110, 110},   {B134, 134},     {B150, 150},
      {B200, 200},       {B300, 300},   {B600, 600},   {B1200, 1200},   {B1800, 1800},
      {B2400, 2400},     {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
#ifdef B57600
      {B57600, 57600},
#endif
#ifdef B115200
      {B115200, 115200},
#endif
#ifdef B230400
      {B230400, 230400},
#endif
  };
  for (const auto& [constant, baud] : kSpeeds) {
    if (constant == speed) return baud;
  }
  return std::nullopt;
}

char ParityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return 'N';
  if (kStickParity != 0 && (cflag & kStickParity) != 0) return (cflag & PARODD) ? 'M' : 'S';
  return (cflag & PARODD) ? 'O' : 'E';
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

std::string Reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool PtyPair::Open(const LineSettings& line, std::string& error) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    error = Reason("no pseudo-terminal");
    Close();
    return false;
  }
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    error = Reason(name);
    Close();
    return false;
  }
  const std::optional<termios> raw = RawLineTermios(tio, line);
  if (!raw || tcsetattr(slave_, TCSANOW, &*raw) != 0) {
    error = std::string(name) + ": cannot set the line settings";
    Close();
    return false;
  }
  // On Linux the master's termios calls reach the slave; elsewhere this makes the master
  // side raw as well.
  termios masterTio{};
  if (tcgetattr(master_, &masterTio) == 0) {
    cfmakeraw(&masterTio);
    tcsetattr(master_, TCSANOW, &masterTio);
    tcsetattr(slave_, TCSANOW, &*raw);
  }
  const int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  slavePath_ = name;
  return true;
}

void PtyPair::Close() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

std::optional<LineSettings> PtyPair::SlaveLine() const {
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) return std::nullopt;
  const std::optional<int> baud = BaudOf(cfgetospeed(&tio));
  if (!baud) return std::nullopt;
  return LineSettings{*baud, ParityOf(tio.c_cflag), DataBitsOf(tio.c_cflag),
                      (tio.c_cflag & CSTOPB) ? 2 : 1};
}

}  // namespace horalign::sim
