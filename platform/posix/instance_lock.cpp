#include "platform/posix/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/posix/reg_file_store.h"

namespace horalign {
namespace {

// Creates the folder (and its parents) when missing, then accepts it only when nobody else
// could swap the lock file under us: a directory itself, ours, not writable by group or
// others.
bool PrepareFolder(const std::string& folder) {
  if (folder.empty()) return false;
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

enum class Slot { kTaken, kHeldElsewhere, kUnusable };

Slot TakeSlot(const std::string& folder, int& fd) {
  if (!PrepareFolder(folder)) return Slot::kUnusable;
  const std::string path = folder + "/horalign.lock";
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Slot::kUnusable;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Slot::kTaken;
  const bool heldElsewhere = errno == EWOULDBLOCK;
  ::close(fd);
  return heldElsewhere ? Slot::kHeldElsewhere : Slot::kUnusable;
}

}  // namespace

std::vector<std::string> DefaultInstanceFolders() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string first = runtime != nullptr && *runtime != '\0'
                          ? std::string(runtime)
                          : "/tmp/horalign-" + std::to_string(::geteuid());
  const std::string settings = RegFileStore::DefaultPath();
  return {std::move(first), settings.substr(0, settings.rfind('/'))};
}

PosixInstanceGuard::PosixInstanceGuard() : PosixInstanceGuard(DefaultInstanceFolders()) {}

PosixInstanceGuard::PosixInstanceGuard(std::string folder)
    : PosixInstanceGuard(std::vector<std::string>{std::move(folder)}) {}

PosixInstanceGuard::PosixInstanceGuard(std::vector<std::string> folders)
    : folders_(std::move(folders)) {}

PosixInstanceGuard::~PosixInstanceGuard() {
  Release();
}

void PosixInstanceGuard::Release() {
  for (const int fd : fds_) ::close(fd);
  fds_.clear();
}

bool PosixInstanceGuard::Claim() {
  if (Held()) return true;
  usable_ = false;
  for (const std::string& folder : folders_) {
    int fd = -1;
    switch (TakeSlot(folder, fd)) {
      case Slot::kTaken:
        fds_.push_back(fd);
        break;
      case Slot::kHeldElsewhere:
        Release();
        usable_ = true;
        return false;
      case Slot::kUnusable:
        break;
    }
  }
  usable_ = Held();
  if (!usable_) {
    std::fprintf(stderr,
                 "Horalign: no private folder can hold the instance lock; a second copy "
                 "of the program will not be noticed.\n");
  }
  return true;
}

}  // namespace horalign
