#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/app/reg_document.h"
#include "core/platform/registry_store.h"

namespace horalign {

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
  // Creates the folder and its missing parents with mode 0700.
  virtual bool MakeDirs(const std::string& dir);
  // Opens (creating) the lock file and waits for an exclusive flock. -1 on failure.
  virtual int LockExclusive(const std::string& lockPath);
  virtual void Unlock(int lockFd);
  // Creates or truncates the file, writes all bytes and fsyncs it.
  virtual bool WriteSynced(const std::string& path, std::string_view bytes);
  virtual bool Rename(const std::string& from, const std::string& to);
  virtual bool SyncDir(const std::string& dir);
  virtual void Remove(const std::string& path);
};

// The settings store as one REGEDIT4-shaped text file. Every query reads the file afresh,
// so changes by another program (the device simulator) are seen at once. Every write
// takes an exclusive lock on "<file>.lock", re-reads the file, changes the one value,
// and replaces the file atomically (temp file beside it, fsync, rename, fsync of the
// folder), so concurrent writers of different values lose nothing and a crash leaves
// either the old file or the new one.
//
// A file that cannot be read or is not a settings file (see RegDocument::Parse) yields
// no values, so defaults apply, and is never overwritten: writes return false.
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
  // nullopt when the file cannot be read or parsed; a missing file is an empty document.
  std::optional<RegDocument> Load();
  bool Replace(const std::string& text);

  std::string path_;
  std::shared_ptr<RegFileOps> ops_;
};

}  // namespace horalign
