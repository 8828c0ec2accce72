#include "platform/posix/reg_file_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace horalign {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return ".";
}

// Releases the lock however the write ends.
class LockGuard {
 public:
  LockGuard(RegFileOps& ops, int fd) : ops_(ops), fd_(fd) {}
  ~LockGuard() {
    if (fd_ >= 0) ops_.Unlock(fd_);
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RegFileOps& ops_;
  int fd_;
};

}  // namespace

RegFileOps::ReadResult RegFileOps::ReadAll(const std::string& path, std::size_t limit,
                                           std::string& out) {
  // Non-blocking so that a FIFO in the file's place cannot hang the program.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  struct stat info {};
  ReadResult result = ReadResult::kFailed;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::size_t>(info.st_size) <= limit) {
    out.clear();
    char buffer[4096];
    while (true) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || out.size() + static_cast<std::size_t>(n) > limit) break;
      if (n == 0) {
        result = ReadResult::kOk;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return result;
}

bool RegFileOps::MakeDirs(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int RegFileOps::LockExclusive(const std::string& lockPath) {
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  int rc = 0;
  while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void RegFileOps::Unlock(int lockFd) {
  flock(lockFd, LOCK_UN);
  close(lockFd);
}

bool RegFileOps::WriteSynced(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && !bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  ok = ok && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool RegFileOps::Rename(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool RegFileOps::SyncDir(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

void RegFileOps::Remove(const std::string& path) {
  unlink(path.c_str());
}

RegFileStore::RegFileStore() : RegFileStore(DefaultPath()) {}

RegFileStore::RegFileStore(std::string path, std::shared_ptr<RegFileOps> ops)
    : path_(std::move(path)), ops_(ops ? std::move(ops) : std::make_shared<RegFileOps>()) {}

std::string RegFileStore::DefaultPath() {
  // A relative XDG_CONFIG_HOME is not to be used, by the XDG rules.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string base = (xdg != nullptr && xdg[0] == '/') ? xdg : HomeFolder() + "/.config";
  return base + "/Quorvane/Horalign.reg";
}

std::optional<RegDocument> RegFileStore::Load() {
  std::string text;
  switch (ops_->ReadAll(path_, RegDocument::kMaxBytes, text)) {
    case RegFileOps::ReadResult::kMissing:
      return RegDocument::Parse("");
    case RegFileOps::ReadResult::kOk:
      return RegDocument::Parse(text);
    case RegFileOps::ReadResult::kFailed:
      break;
  }
  return std::nullopt;
}

std::optional<RegValue> RegFileStore::Query(const std::string& keyPath, const std::string& name) {
  const auto doc = Load();
  return doc ? doc->Find(keyPath, name) : std::nullopt;
}

bool RegFileStore::SetString(const std::string& keyPath, const std::string& name,
                             const std::string& text) {
  RegValue value{kRegSz, std::vector<std::uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);
  return SetValue(keyPath, name, value);
}

bool RegFileStore::SetValue(const std::string& keyPath, const std::string& name,
                            const RegValue& value) {
  if (!ops_->MakeDirs(FolderOf(path_))) return false;
  const int lockFd = ops_->LockExclusive(path_ + ".lock");
  if (lockFd < 0) return false;
  LockGuard guard(*ops_, lockFd);
  // Re-read under the lock: another writer may have changed other values meanwhile.
  auto doc = Load();
  if (!doc || !doc->Set(keyPath, name, value)) return false;
  const std::string text = doc->Text();
  if (text.size() > RegDocument::kMaxBytes) return false;  // could never be read back
  return Replace(text);
}

bool RegFileStore::Replace(const std::string& text) {
  const std::string temp = path_ + ".tmp";
  if (!ops_->WriteSynced(temp, text) || !ops_->Rename(temp, path_)) {
    ops_->Remove(temp);
    return false;
  }
  // The new file is in place; a failing folder sync only leaves its durability in doubt.
  (void)ops_->SyncDir(FolderOf(path_));
  return true;
}

}  // namespace horalign
