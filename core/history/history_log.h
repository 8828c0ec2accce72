#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "core/history/history_entry.h"
#include "core/history/history_format.h"
#include "core/platform/log_folder.h"

namespace horalign {

// The history's files in its folder, newest first: "history.jsonl", then ".1" and ".2".
inline constexpr int kHistoryFiles = 3;
inline constexpr std::int64_t kHistoryRotateBytes = 5 * 1024 * 1024;
std::string HistoryFileName(int generation);

// Keeps the history: every entry is appended as one line to the current file, which is
// rotated before it would grow past the limit (the oldest file goes). A line that cannot
// be written is lost, and only that: the program is told once, through `warn`, and the
// operation that made it goes on as if nothing happened.
class HistoryLog final : public HistorySink {
 public:
  using Warn = std::function<void(const std::string& message)>;
  HistoryLog(LogFolder& folder, Warn warn, std::int64_t rotateBytes = kHistoryRotateBytes)
      : folder_(folder), warn_(std::move(warn)), rotateBytes_(rotateBytes) {}

  void Append(const HistoryEntry& entry) override;
  void ForEachKept(const std::function<void(const HistoryEntry&)>& visit) override;
  // Whether a line was lost since the start.
  bool Failed() const { return failed_; }

 private:
  void Rotate();
  void Fail(const std::string& what);

  LogFolder& folder_;
  Warn warn_;
  std::int64_t rotateBytes_;
  bool failed_ = false;
  bool lineEndKnown_ = false;  // the current file is known to end with a whole line
};

// The whole history, oldest first: the rotated files, then the current one. Lines that
// cannot be read are counted, and no file is changed.
HistoryRead ReadHistory(LogFolder& folder, HistoryRead read = {});

}  // namespace horalign
