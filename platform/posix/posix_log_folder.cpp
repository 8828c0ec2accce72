#include "platform/posix/posix_log_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/posix/reg_file_store.h"

namespace horalign {
namespace {

// Closes a descriptor however a function ends.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads from where the descriptor stands to the end, a piece at a time.
bool ReadOn(int fd, const std::function<void(std::string_view piece)>& take) {
  char buffer[LogFolder::kReadPieceBytes];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    take(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

}  // namespace

std::string PosixLogFolder::DefaultDir() {
  // A relative XDG_STATE_HOME is not to be used, by the XDG rules.
  const char* xdg = std::getenv("XDG_STATE_HOME");
  const std::string base = (xdg != nullptr && xdg[0] == '/') ? xdg : HomeFolder() + "/.local/state";
  return base + "/Quorvane";
}

bool PosixLogFolder::Append(const std::string& name, std::string_view bytes, std::string& error) {
  if (!RegFileOps().MakeDirs(dir_)) {
    error = std::string("cannot create the folder: ") + std::strerror(errno);
    return false;
  }
  const Fd fd(open(PathOf(name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    error = std::strerror(errno);
    return false;
  }
  while (!bytes.empty()) {
    const ssize_t n = write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::int64_t> PosixLogFolder::Size(const std::string& name) {
  struct stat info {};
  if (stat(PathOf(name).c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_size);
}

bool PosixLogFolder::Rename(const std::string& from, const std::string& to) {
  return rename(PathOf(from).c_str(), PathOf(to).c_str()) == 0;
}

std::optional<std::string> PosixLogFolder::Read(const std::string& name, std::int64_t lastBytes) {
  const Fd fd(open(PathOf(name).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const std::int64_t from = info.st_size > lastBytes ? info.st_size - lastBytes : 0;
  if (lseek(fd.get(), from, SEEK_SET) < 0) return std::nullopt;
  std::string text;
  text.reserve(static_cast<std::size_t>(info.st_size - from));
  return ReadOn(fd.get(), [&text](std::string_view piece) { text.append(piece); })
             ? std::optional<std::string>(std::move(text))
             : std::nullopt;
}

bool PosixLogFolder::ReadPieces(const std::string& name,
                                const std::function<void(std::string_view piece)>& take) {
  const Fd fd(open(PathOf(name).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ReadOn(fd.get(), take);
}

}  // namespace horalign
