#include "core/history/drift_tracker.h"

#include <cmath>

namespace horalign {
namespace {

constexpr double kMsPerDay = 86'400'000.0;
// 1000 ppm. A quartz clock keeps well inside a tenth of this: a span that shows more was
// set by someone else or lost its power meanwhile, and would swamp every honest span.
constexpr double kMaxDriftPerDay = 86.4;
// A replayed span must gain what its entry says it gained, to the rounding of the offsets
// in the history (plus 1 %): otherwise lines between the two reads are missing.
constexpr double kReplayToleranceSeconds = 0.002;
constexpr double kReplayToleranceShare = 0.01;

}  // namespace

std::optional<std::pair<double, double>> DriftTracker::Span(const Device& d, std::int64_t utcMs,
                                                            double offsetSeconds) {
  if (!d.open || utcMs <= d.open->first) return std::nullopt;
  const double days = static_cast<double>(utcMs - d.open->first) / kMsPerDay;
  const double gain = offsetSeconds - d.open->second;
  if (std::abs(gain / days) > kMaxDriftPerDay) return std::nullopt;
  return std::pair{days, gain};
}

void DriftTracker::Add(Device& d, const std::pair<double, double>& span) {
  d.sumLengthSquared += span.first * span.first;
  d.sumLengthGain += span.first * span.second;
  ++d.spans;
}

std::optional<double> DriftTracker::ReadBeforeWrite(const std::string& model,
                                                    const std::string& serial, std::int64_t utcMs,
                                                    double offsetSeconds) {
  Device& d = devices_[{model, serial}];
  const auto span = Span(d, utcMs, offsetSeconds);
  d.open.reset();  // the write follows
  if (!span) return std::nullopt;
  Add(d, *span);
  return span->second / span->first;
}

void DriftTracker::ReadAfterWrite(const std::string& model, const std::string& serial,
                                  std::int64_t utcMs, double offsetSeconds) {
  devices_[{model, serial}].open = std::pair{utcMs, offsetSeconds};
}

void DriftTracker::Forget(const std::string& model, const std::string& serial) {
  const auto it = devices_.find({model, serial});
  if (it != devices_.end()) it->second.open.reset();
}

void DriftTracker::Replay(const HistoryEntry& entry) {
  if (entry.action != HistoryAction::kRead) return;
  if (!entry.ok) {
    Forget(entry.model, entry.serial);
    return;
  }
  Device& d = devices_[{entry.model, entry.serial}];
  if (entry.offsetBefore) {
    const auto span = Span(d, entry.utcMs, *entry.offsetBefore);
    d.open.reset();
    if (span && entry.driftPerDay) {
      const double stated = *entry.driftPerDay * span->first;
      if (std::abs(span->second - stated) <=
          kReplayToleranceSeconds + kReplayToleranceShare * std::abs(stated)) {
        Add(d, *span);
      }
    }
  }
  if (entry.offsetAfter) d.open = std::pair{entry.utcMs, *entry.offsetAfter};
}

std::optional<double> DriftTracker::DriftPerDay(const std::string& model,
                                                const std::string& serial) const {
  const auto it = devices_.find({model, serial});
  if (it == devices_.end() || it->second.spans == 0) return std::nullopt;
  return it->second.sumLengthGain / it->second.sumLengthSquared;
}

int DriftTracker::Spans(const std::string& model, const std::string& serial) const {
  const auto it = devices_.find({model, serial});
  return it == devices_.end() ? 0 : it->second.spans;
}

}  // namespace horalign
