#pragma once

#include <string>
#include <vector>

#include "core/platform/instance.h"

namespace horalign {

// The session's instance slot as an flock on horalign.lock in each of its folders. The
// kernel drops the locks when the holder exits in any way, so a crashed instance leaves
// nothing stuck.
//
// A folder is created 0700 when missing and used only when it is a real directory (not a
// symlink) owned by this user and writable by nobody else; the lock file is opened without
// following symlinks. Every usable folder is locked, so two copies that agree on any one
// of them (one with an unsuitable runtime folder, one with a good one) never both run.
class PosixInstanceGuard : public InstanceGuard {
 public:
  PosixInstanceGuard();
  explicit PosixInstanceGuard(std::string folder);
  explicit PosixInstanceGuard(std::vector<std::string> folders);
  ~PosixInstanceGuard() override;
  PosixInstanceGuard(const PosixInstanceGuard&) = delete;
  PosixInstanceGuard& operator=(const PosixInstanceGuard&) = delete;

  // False when another holder has the lock in any folder; the locks taken so far are then
  // let go. When no folder can hold a lock at all (none usable, a file system without
  // locks) the program runs unguarded rather than refusing to start on a guess, says so on
  // standard error, and Usable() reports false.
  bool Claim() override;

  bool Held() const { return !fds_.empty(); }
  bool Usable() const { return usable_; }

 private:
  void Release();

  std::vector<std::string> folders_;
  std::vector<int> fds_;
  bool usable_ = true;
};

// $XDG_RUNTIME_DIR when set and not empty, else /tmp/horalign-<effective uid>; then the
// settings file's folder, a private place of the user's own that every copy shares.
std::vector<std::string> DefaultInstanceFolders();

}  // namespace horalign
