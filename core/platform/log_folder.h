#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace horalign {

// A folder of files that only grow, such as the operation history. Names are plain file
// names inside the folder. No call throws; a failure is a value, with the system's reason
// in `error` where one is asked for.
class LogFolder {
 public:
  virtual ~LogFolder() = default;

  // Where the folder is, as a user would look for it (for messages).
  virtual std::string Where() const = 0;

  // Appends the bytes to the file, creating the folder and the file when missing. False
  // when not all of them were written (no right, a full disk, no such place).
  virtual bool Append(const std::string& name, std::string_view bytes, std::string& error) = 0;

  // The file's size in bytes; nullopt when it does not exist or cannot be looked at.
  virtual std::optional<std::int64_t> Size(const std::string& name) = 0;

  // Renames `from` to `to`, replacing `to`. False when it could not.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;

  // The file's last `lastBytes` bytes (all of a shorter file); nullopt when it does not
  // exist or cannot be read.
  virtual std::optional<std::string> Read(const std::string& name, std::int64_t lastBytes) = 0;

  // Hands the whole file to `take` in order, a piece of at most kReadPieceBytes at a time,
  // so that a large file is never held whole. False when it does not exist or a read
  // failed; the pieces handed before a failure stay handed.
  static constexpr std::size_t kReadPieceBytes = 64 * 1024;
  virtual bool ReadPieces(const std::string& name,
                          const std::function<void(std::string_view piece)>& take) = 0;
};

}  // namespace horalign
