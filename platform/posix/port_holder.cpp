#include "platform/posix/port_holder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace horalign {

pid_t LockHolder(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  // Lines such as "3: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; a waiter's line has
  // "->" after the number and holds nothing.
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", ::major(info.st_dev), ::minor(info.st_dev),
                static_cast<unsigned long>(info.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> advisory >> access >> pid >> where;
    if (where == wanted) {
      const long value = std::strtol(pid.c_str(), nullptr, 10);
      if (value > 0) return static_cast<pid_t>(value);
    }
  }
  return 0;
}

std::string ProcessCommand(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string command, arg;
  while (std::getline(in, arg, '\0')) {
    if (command.empty()) {
      arg = arg.substr(arg.rfind('/') + 1);
    } else {
      command += ' ';
    }
    command += arg;
  }
  return command;
}

std::string DescribeUnopenablePort(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR
               ? "does not exist"
               : std::string("cannot be reached: ") + std::strerror(errno);
  }
  if (const pid_t holder = LockHolder(path); holder > 0 && holder != ::getpid()) {
    const std::string command = ProcessCommand(holder);
    return "is in use by " + (command.empty() ? "process" : command) + " (pid " +
           std::to_string(holder) + ")";
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) return "is in use by another program";
    if (errno == ENXIO || errno == ENODEV || errno == EIO) return "has no device behind it";
    return std::string("cannot be opened: ") + std::strerror(errno);
  }
  std::string reason = "could not be set up";
  if (!::isatty(fd)) {
    reason = "is not a serial port";
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = "is in use by another program";
  }
  ::close(fd);
  return reason;
}

}  // namespace horalign
