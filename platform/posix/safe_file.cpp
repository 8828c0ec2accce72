#include "platform/posix/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace horalign {
namespace {

constexpr const char* kSymlink = "is a symbolic link, which is not followed";

// Why a file of this shape is not one to write or give away; "" for a plain file.
std::string RefusalOf(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return kSymlink;
  if (!S_ISREG(info.st_mode)) return "is not a plain file";
  // A second name makes it some other file as well, whoever owns that name.
  if (info.st_nlink != 1) return "has other names (hard links) as well";
  return "";
}

}  // namespace

PlainFile OpenPlainFile(const std::string& path, int flags) {
  // Non-blocking, so that a FIFO in the file's place cannot hang the program.
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return {-1, errno == ELOOP ? kSymlink : ""};
  struct stat info {};
  std::string refusal = ::fstat(fd, &info) != 0 ? "cannot be looked at" : RefusalOf(info);
  if (refusal.empty()) return {fd, ""};
  ::close(fd);
  return {-1, std::move(refusal)};
}

std::string RemoveLeftover(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "";
  std::string refusal = RefusalOf(info);
  // A swap after the look changes nothing: unlink removes a name, never what it leads to.
  if (refusal.empty()) ::unlink(path.c_str());
  return refusal;
}

std::string GiveToFolderOwner(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "";
  struct stat folder {};
  if (::stat(path.substr(0, slash).c_str(), &folder) != 0 || folder.st_uid == 0) return "";
  const PlainFile file = OpenPlainFile(path, O_RDONLY);
  if (file.fd < 0 && file.refusal.empty()) {
    if (errno == ENOENT) return "";
    return path + " cannot be given to the owner of its folder: " + std::strerror(errno);
  }
  std::string refusal = file.refusal;
  struct stat info {};
  if (refusal.empty() && ::fstat(file.fd, &info) == 0) {
    if (info.st_uid != 0 && info.st_uid != folder.st_uid) refusal = "belongs to another user";
    if (refusal.empty() && (info.st_uid != folder.st_uid || info.st_gid != folder.st_gid) &&
        ::fchown(file.fd, folder.st_uid, folder.st_gid) != 0) {
      refusal = std::string("cannot be given to the owner of its folder: ") + std::strerror(errno);
    }
  }
  if (file.fd >= 0) ::close(file.fd);
  return refusal.empty() ? "" : path + " " + refusal + "; it is left as it is.";
}

}  // namespace horalign
