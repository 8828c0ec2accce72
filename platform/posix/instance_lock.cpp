#include "platform/posix/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace horalign {
namespace {

// Creates the folder when missing, then accepts it only when nobody else could swap the
// lock file under us: a directory itself, ours, not writable by group or others.
bool PrepareFolder(const std::string& folder) {
  if (folder.empty()) return false;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string DefaultInstanceFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return runtime;
  return "/tmp/horalign-" + std::to_string(::geteuid());
}

PosixInstanceGuard::PosixInstanceGuard() : PosixInstanceGuard(DefaultInstanceFolder()) {}

PosixInstanceGuard::PosixInstanceGuard(std::string folder) : folder_(std::move(folder)) {}

PosixInstanceGuard::~PosixInstanceGuard() {
  if (fd_ >= 0) ::close(fd_);
}

bool PosixInstanceGuard::Claim() {
  if (fd_ >= 0) return true;
  usable_ = false;
  if (!PrepareFolder(folder_)) return true;
  const std::string path = folder_ + "/horalign.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    usable_ = heldElsewhere;
    return !heldElsewhere;
  }
  fd_ = fd;
  usable_ = true;
  return true;
}

}  // namespace horalign
