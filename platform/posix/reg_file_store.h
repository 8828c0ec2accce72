#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/registry_store.h"
#include "core/settings/reg_document.h"

namespace horalign {

// $HOME, else the user's home folder from the password database.
std::string HomeFolder();

// One version of a file as lstat sees it (a link is not followed), with what a replacement
// keeps.
struct RegFileInfo {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  bool regular = false;
  bool link = false;
  std::uint32_t mode = 0;  // permission bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;

  // The same contents unless someone wrote within the same nanosecond, size unchanged.
  bool SameVersion(const RegFileInfo& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
  }
};

// The file operations the settings file makes, each one virtual so that tests can make
// any of them fail (root reads every file whatever its mode, so "unreadable" and "disk
// full" cannot be staged for real). The base class does the real work.
class RegFileOps {
 public:
  enum class ReadResult { kOk, kMissing, kFailed };

  virtual ~RegFileOps() = default;

  // The whole file when it is a regular file of at most `limit` bytes. kMissing when it
  // does not exist; kFailed for anything else (a directory, unreadable, too large).
  virtual ReadResult ReadAll(const std::string& path, std::size_t limit, std::string& out);
  // nullopt when the file is missing or cannot be looked at.
  virtual std::optional<RegFileInfo> Stat(const std::string& path);
  // Creates the folder and its missing parents with mode 0700.
  virtual bool MakeDirs(const std::string& dir);
  // Opens (creating) the lock file and waits for an exclusive flock. -1 on failure, and
  // when the lock's name is not a plain file of its own (a link, a second name), which is
  // then said on standard error.
  virtual int LockExclusive(const std::string& lockPath);
  virtual void Unlock(int lockFd);
  // Creates the file, which must not exist, with the mode (and, where allowed, the owner) of
  // `like`, 0600 without it, writes all bytes and fsyncs it.
  virtual bool WriteSynced(const std::string& path, std::string_view bytes,
                           const std::optional<RegFileInfo>& like);
  virtual bool Rename(const std::string& from, const std::string& to);
  virtual bool SyncDir(const std::string& dir);
  virtual void Remove(const std::string& path);
};

// The settings store as one text file in the shape of a registry export (RegDocument).
// A query reads and parses the file only when it has changed since the last read (size,
// modification time, inode), so changes by another program (the device simulator) are
// seen at once. Every write takes an exclusive lock on "<file>.lock", re-reads the file
// if it changed, changes the one value, and replaces the file atomically (temp file beside
// it, fsync, rename, fsync of the folder), so concurrent writers of different values lose
// nothing and a crash leaves either the old file or the new one. A symbolic link of the
// user's own is followed: the file it leads to is replaced, in its own folder, keeping its
// mode. A link of another user is refused, as the settings file, and so is anything but a
// plain file with one name where the lock or the temporary file go: root, working in the
// folder of the service's user, would otherwise write or hand over whatever that user points
// it to. A refusal is said on standard error, and the change is not saved.
//
// A file that cannot be read or is not a settings file (see RegDocument::Parse) yields no
// values, so defaults apply, and the program says so on standard error. The next write
// keeps it aside as "<file>.unreadable-<n>" (never deleted) and starts a new file.
//
// Not for use from two threads at once; each thread may have a store of its own.
class RegFileStore : public RegistryStore {
 public:
  // $XDG_CONFIG_HOME/Quorvane/Horalign.reg, with ~/.config when XDG_CONFIG_HOME is unset.
  RegFileStore();
  explicit RegFileStore(std::string path, std::shared_ptr<RegFileOps> ops = nullptr);

  static std::string DefaultPath();
  const std::string& Path() const { return path_; }

  std::optional<RegValue> Query(const std::string& keyPath, const std::string& name) override;
  bool SetString(const std::string& keyPath, const std::string& name,
                 const std::string& text) override;
  // Writes a value of any type, by the same rules as SetString.
  bool SetValue(const std::string& keyPath, const std::string& name, const RegValue& value);

 private:
  // The file's document, nullopt when it cannot be read or parsed; a missing file is an
  // empty document. `target` is the file the path leads to.
  const std::optional<RegDocument>& Load(const std::string& target);
  bool KeepAside(const std::string& target);
  bool Replace(const std::string& target, const std::string& text,
               const std::optional<RegFileInfo>& like);

  std::string path_;
  std::shared_ptr<RegFileOps> ops_;
  // The last version read and what it held; no version when it must be read again.
  std::optional<RegFileInfo> readInfo_;
  std::optional<RegDocument> readDoc_;
  bool toldUnreadable_ = false;
};

}  // namespace horalign
