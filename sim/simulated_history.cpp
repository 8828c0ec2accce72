#include "sim/simulated_history.h"

#include <random>

namespace horalign::sim {

int WriteSimulatedHistory(HistorySink& sink, const std::vector<PastDevice>& devices,
                          std::int64_t endUtcMs, int days, int intervalMinutes) {
  std::mt19937 random(1);
  std::uniform_real_distribution<double> readingError(-0.004, 0.004);
  std::uniform_int_distribution<int> pastSecond(2, 12);
  const std::int64_t intervalMs = std::int64_t{intervalMinutes} * 60'000;
  const std::int64_t startMs = endUtcMs - std::int64_t{days} * 86'400'000;
  int count = 0;
  const auto entry = [&](const PastDevice& d, std::int64_t atMs, HistoryAction action) {
    HistoryEntry e;
    e.utcMs = atMs;
    e.port = d.port;
    e.model = d.model;
    e.serial = d.serial;
    e.action = action;
    e.ok = true;
    e.status =
        action == HistoryAction::kConnect ? "Connected to device." : "Device updated successfully.";
    return e;
  };
  for (const PastDevice& d : devices) {
    sink.Append(entry(d, startMs, HistoryAction::kConnect));
    ++count;
  }
  std::vector<double> measured(devices.size(), 0);  // the sum of each device's drift rates
  for (std::int64_t at = startMs + intervalMs, n = 1; at <= endUtcMs; at += intervalMs, ++n) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const PastDevice& d = devices[i];
      HistoryEntry e = entry(d, at + static_cast<std::int64_t>(i) * 1000, HistoryAction::kWrite);
      const double drift = d.driftPpm * 1e-6 * static_cast<double>(intervalMs) / 1000;
      e.offsetBefore = drift + readingError(random);
      e.offsetAfter = readingError(random);
      measured[i] += *e.offsetBefore * 86'400'000.0 / static_cast<double>(intervalMs);
      e.driftPerDay = measured[i] / static_cast<double>(n);
      e.msPastSecond = pastSecond(random);
      sink.Append(e);
      ++count;
    }
  }
  return count;
}

}  // namespace horalign::sim
