#pragma once

#include <string>
#include <utility>

#include "core/platform/log_folder.h"

namespace horalign {

// A folder of growing files on a POSIX file system. Appends use O_APPEND, so lines that
// two programs append at once do not overwrite each other. The folder is created (mode
// 0700) at the first append, the files with mode 0600.
class PosixLogFolder : public LogFolder {
 public:
  explicit PosixLogFolder(std::string dir) : dir_(std::move(dir)) {}

  // $XDG_STATE_HOME/Quorvane, with ~/.local/state when XDG_STATE_HOME is unset or relative.
  static std::string DefaultDir();

  std::string Where() const override { return dir_; }
  bool Append(const std::string& name, std::string_view bytes, std::string& error) override;
  std::optional<std::int64_t> Size(const std::string& name) override;
  bool Rename(const std::string& from, const std::string& to) override;
  std::optional<std::string> Read(const std::string& name, std::int64_t lastBytes) override;
  bool ReadPieces(const std::string& name,
                  const std::function<void(std::string_view piece)>& take) override;

 private:
  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace horalign
