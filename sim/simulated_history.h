#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/history/history_entry.h"

namespace horalign::sim {

// A device whose past is made up for a demonstration or a benchmark.
struct PastDevice {
  int port = 1;
  std::string model, serial;
  double driftPpm = 0;  // positive: runs fast
};

// Appends the history such devices would have left over `days` days up to `endUtcMs`: a
// connection at the start, then every `intervalMinutes` a write per device with the offset
// read back before it (the drift since the last write, with a reading error of a few ms)
// and after it, and the drift per day as the program would estimate it. Deterministic.
// Returns the number of entries.
int WriteSimulatedHistory(HistorySink& sink, const std::vector<PastDevice>& devices,
                          std::int64_t endUtcMs, int days, int intervalMinutes);

}  // namespace horalign::sim
