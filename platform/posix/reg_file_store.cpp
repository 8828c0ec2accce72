#include "platform/posix/reg_file_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/posix/safe_file.h"

namespace horalign {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a chain of the user's own symbolic links ends in; the path itself when it is no
// link. A link of anyone else is where the chain stops, and is then refused: in a folder of
// another user it could lead anywhere. A chain too long to follow (a loop) ends in a link too.
std::string FollowOwnLinks(std::string path) {
  std::vector<char> buffer(PATH_MAX);
  for (int hops = 0; hops < 40; ++hops) {
    // The link is looked at and read through one descriptor, so it cannot be swapped between.
    const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) break;
    struct stat info {};
    ssize_t n = -1;
    if (fstat(fd, &info) == 0 && S_ISLNK(info.st_mode) && info.st_uid == geteuid()) {
      n = readlinkat(fd, "", buffer.data(), buffer.size());
    }
    close(fd);
    if (n < 0 || static_cast<std::size_t>(n) == buffer.size()) break;
    const std::string link(buffer.data(), static_cast<std::size_t>(n));
    path = link.starts_with('/') ? link : FolderOf(path) + "/" + link;
  }
  return path;
}

std::string LinkRefusal(const RegFileInfo& info) {
  return info.owner == geteuid() ? "a chain of symbolic links too long to follow"
                                 : "a symbolic link of another user, which is not followed";
}

void Tell(const std::string& text) {
  std::fprintf(stderr, "Horalign: %s\n", text.c_str());
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

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return ".";
}

RegFileOps::ReadResult RegFileOps::ReadAll(const std::string& path, std::size_t limit,
                                           std::string& out) {
  // Non-blocking so that a FIFO in the file's place cannot hang the program.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
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

std::optional<RegFileInfo> RegFileOps::Stat(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return std::nullopt;
  RegFileInfo out;
  out.device = info.st_dev;
  out.inode = info.st_ino;
  out.size = info.st_size;
  out.modifiedSeconds = info.st_mtim.tv_sec;
  out.modifiedNanoseconds = info.st_mtim.tv_nsec;
  out.regular = S_ISREG(info.st_mode);
  out.link = S_ISLNK(info.st_mode);
  out.mode = info.st_mode & 07777;
  out.owner = info.st_uid;
  out.group = info.st_gid;
  return out;
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
  const PlainFile lock = OpenPlainFile(lockPath, O_RDWR | O_CREAT);
  if (!lock.refusal.empty()) {
    Tell("the settings file's lock " + lockPath + " " + lock.refusal +
         "; the change is not saved.");
  }
  const int fd = lock.fd;
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

bool RegFileOps::WriteSynced(const std::string& path, std::string_view bytes,
                             const std::optional<RegFileInfo>& like) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  // Only root may give a file away; anyone else keeps it as their own.
  if (like && (like->owner != geteuid() || like->group != getegid())) {
    (void)!fchown(fd, like->owner, like->group);
  }
  bool ok = fchmod(fd, like ? like->mode : 0600) == 0;
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

const std::optional<RegDocument>& RegFileStore::Load(const std::string& target) {
  const auto info = ops_->Stat(target);
  if (info && readInfo_ && info->SameVersion(*readInfo_)) return readDoc_;
  std::string text;
  const auto result = info && info->link ? RegFileOps::ReadResult::kFailed
                                         : ops_->ReadAll(target, RegDocument::kMaxBytes, text);
  readDoc_ = result == RegFileOps::ReadResult::kMissing ? RegDocument::Parse("")
             : result == RegFileOps::ReadResult::kOk    ? RegDocument::Parse(text)
                                                        : std::nullopt;
  readInfo_ = info;
  if (readDoc_) {
    toldUnreadable_ = false;
  } else if (!toldUnreadable_ && info && info->link) {
    toldUnreadable_ = true;
    Tell("the settings file " + target + " is " + LinkRefusal(*info) +
         "; the defaults are used, and nothing is saved to it.");
  } else if (!toldUnreadable_) {
    toldUnreadable_ = true;
    const char* why = result == RegFileOps::ReadResult::kOk ? "not a settings file"
                      : info && !info->regular              ? "not a file"
                      : info && static_cast<std::uint64_t>(info->size) > RegDocument::kMaxBytes
                          ? "larger than 1 MiB"
                          : "cannot be read";
    Tell("the settings file " + target + " is " + why +
         "; the defaults are used, and the file is kept aside at the next save.");
  }
  return readDoc_;
}

std::optional<RegValue> RegFileStore::Query(const std::string& keyPath, const std::string& name) {
  const auto& doc = Load(FollowOwnLinks(path_));
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
  const std::string target = FollowOwnLinks(path_);
  if (const auto info = ops_->Stat(target); info && info->link) {
    Tell("the settings file " + target + " is " + LinkRefusal(*info) +
         "; the change is not saved.");
    return false;
  }
  if (!ops_->MakeDirs(FolderOf(target))) return false;
  const int lockFd = ops_->LockExclusive(target + ".lock");
  if (lockFd < 0) return false;
  LockGuard guard(*ops_, lockFd);
  // Read again under the lock when another writer has changed the file meanwhile.
  const auto& read = Load(target);
  if (!read && !KeepAside(target)) return false;
  const auto like = read ? readInfo_ : std::nullopt;
  RegDocument doc = read ? *read : *RegDocument::Parse("");
  if (!doc.Set(keyPath, name, value)) return false;
  const std::string text = doc.Text();
  if (text.size() > RegDocument::kMaxBytes) return false;  // could never be read back
  readInfo_.reset();
  return Replace(target, text, like);
}

bool RegFileStore::KeepAside(const std::string& target) {
  struct stat info {};
  if (lstat(target.c_str(), &info) != 0 && errno == ENOENT) return true;  // nothing to keep
  std::string aside;
  for (int n = 1; n < 1000 && aside.empty(); ++n) {
    const std::string name = target + ".unreadable-" + std::to_string(n);
    if (lstat(name.c_str(), &info) != 0 && errno == ENOENT) aside = name;
  }
  if (!aside.empty() && ops_->Rename(target, aside)) {
    Tell("the settings file " + target + " that could not be read is kept as " + aside +
         "; a new settings file is started.");
    return true;
  }
  Tell("the settings file " + target + " can neither be read nor be kept aside (" +
       std::strerror(errno) + "); the change is not saved.");
  return false;
}

bool RegFileStore::Replace(const std::string& target, const std::string& text,
                           const std::optional<RegFileInfo>& like) {
  const std::string temp = target + ".tmp";
  // What a crash left there goes; what a crash never leaves is someone else's doing.
  if (const std::string refusal = RemoveLeftover(temp); !refusal.empty()) {
    Tell("the settings file's temporary file " + temp + " " + refusal +
         "; the change is not saved.");
    return false;
  }
  if (!ops_->WriteSynced(temp, text, like) || !ops_->Rename(temp, target)) {
    ops_->Remove(temp);
    return false;
  }
  // The new file is in place; a failing folder sync only leaves its durability in doubt.
  (void)ops_->SyncDir(FolderOf(target));
  return true;
}

}  // namespace horalign
