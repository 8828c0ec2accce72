#pragma once

#include <map>
#include <string>

#include "core/platform/log_folder.h"

namespace horalign::sim {

// A folder of growing files in memory. A test can fill its disk or stop renames.
class MemoryLogFolder : public LogFolder {
 public:
  std::map<std::string, std::string> files;
  bool full = false;    // every append fails and writes nothing
  bool renames = true;  // false: every rename fails
  int appendCalls = 0;
  std::size_t pieceBytes = kReadPieceBytes;  // ReadPieces hands pieces this long

  std::string Where() const override { return "memory"; }
  bool Append(const std::string& name, std::string_view bytes, std::string& error) override;
  std::optional<std::int64_t> Size(const std::string& name) override;
  bool Rename(const std::string& from, const std::string& to) override;
  std::optional<std::string> Read(const std::string& name, std::int64_t lastBytes) override;
  bool ReadPieces(const std::string& name,
                  const std::function<void(std::string_view piece)>& take) override;
};

}  // namespace horalign::sim
