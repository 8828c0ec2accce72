#include "service/service_metrics.h"

namespace horalign {

void MetricsHistory::Append(const HistoryEntry& entry) {
  Note(entry, true);
  inner_.Append(entry);
}

void MetricsHistory::ForEachKept(const std::function<void(const HistoryEntry&)>& visit) {
  inner_.ForEachKept([this, &visit](const HistoryEntry& entry) {
    Note(entry, false);
    visit(entry);
  });
}

void MetricsHistory::Note(const HistoryEntry& entry, bool live) {
  if (entry.port < 1 || entry.port > kPortRows) return;
  const bool write = entry.action == HistoryAction::kWrite || entry.action == HistoryAction::kPush;
  if (!write) return;
  DeviceFigures& f = figures_[Index(entry.port)];
  // Another device written on the port starts its figures afresh; a failed write may not
  // know the device, and counts against the one there before.
  if (f.model.empty() || (entry.ok && (f.model != entry.model || f.serial != entry.serial))) {
    f = DeviceFigures{};
    f.model = entry.model;
    f.serial = entry.serial;
  }
  if (entry.ok) {
    f.lastSuccessUtcMs = entry.utcMs;
    if (entry.offsetAfter) f.lastOffset = entry.offsetAfter;
  } else if (live) {
    ++f.failedUpdates;
  }
  if (live) lastWrite_[Index(entry.port)] = entry;
}

}  // namespace horalign
