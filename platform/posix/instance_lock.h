#pragma once

#include <string>

#include "core/platform/instance.h"

namespace horalign {

// The session's instance slot as an flock on horalign.lock. The kernel drops the lock when
// the holder exits in any way, so a crashed instance leaves nothing stuck.
//
// The folder is $XDG_RUNTIME_DIR, or, without it, /tmp/horalign-<uid>. Either is created
// 0700 when missing and used only when it is a real directory (not a symlink) owned by this
// user and writable by nobody else; the lock file is opened without following symlinks.
class PosixInstanceGuard : public InstanceGuard {
 public:
  PosixInstanceGuard();
  explicit PosixInstanceGuard(std::string folder);
  ~PosixInstanceGuard() override;
  PosixInstanceGuard(const PosixInstanceGuard&) = delete;
  PosixInstanceGuard& operator=(const PosixInstanceGuard&) = delete;

  // False only when another holder has the lock. When the slot cannot be made at all (an
  // unusable folder, a file system without locks) the program runs unguarded rather than
  // refusing to start on a guess; Usable() then reports false.
  bool Claim() override;

  bool Held() const { return fd_ >= 0; }
  bool Usable() const { return usable_; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  int fd_ = -1;
  bool usable_ = true;
};

// $XDG_RUNTIME_DIR when set and not empty, else /tmp/horalign-<effective uid>.
std::string DefaultInstanceFolder();

}  // namespace horalign
