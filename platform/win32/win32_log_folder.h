#pragma once

#include <string>
#include <utility>

#include "core/platform/log_folder.h"

namespace horalign {

// A folder of growing files on Windows. Appends open the file for appending only, so lines
// that two programs append at once do not overwrite each other; the folder is created at
// the first append. Paths are kept in UTF-16, so a user name outside the ANSI code page works.
class Win32LogFolder : public LogFolder {
 public:
  explicit Win32LogFolder(std::wstring dir) : dir_(std::move(dir)) {}

  // %LOCALAPPDATA%\Quorvane; empty when the variable is not set.
  static std::wstring DefaultDir();

  std::string Where() const override;
  bool Append(const std::string& name, std::string_view bytes, std::string& error) override;
  std::optional<std::int64_t> Size(const std::string& name) override;
  bool Rename(const std::string& from, const std::string& to) override;
  std::optional<std::string> Read(const std::string& name, std::int64_t lastBytes) override;
  bool ReadPieces(const std::string& name,
                  const std::function<void(std::string_view piece)>& take) override;

 private:
  std::wstring PathOf(const std::string& name) const;

  std::wstring dir_;
};

}  // namespace horalign
