#pragma once

#include <functional>
#include <vector>

#include "core/history/history_entry.h"

namespace horalign::sim {

// A history that keeps every entry in memory and lets a test look at each as it comes.
class RecordingHistory final : public HistorySink {
 public:
  std::vector<HistoryEntry> entries;
  std::function<void(const HistoryEntry&)> onAppend;

  void Append(const HistoryEntry& entry) override {
    entries.push_back(entry);
    if (onAppend) onAppend(entry);
  }
};

}  // namespace horalign::sim
