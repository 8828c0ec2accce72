#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "core/history/history_entry.h"

namespace horalign {

// How fast each device's clock runs against the PC's, in seconds gained per day, kept per
// device by model and S/N so that it follows a device to another port.
//
// A span runs from the read just after one write (the offset the device was left with) to
// the read just before the next (the offset it has drifted to). Its gain against its length
// is one sample; a device's figure is the least-squares line through the origin of gain
// against length over all its spans, so a long span counts for more than a short one. A
// span with another write inside it measures nothing and is never formed.
class DriftTracker {
 public:
  // The device's time was read just before a write. Returns the drift of the span this
  // closes (seconds per day), or nullopt when no span was open or it was implausible.
  std::optional<double> ReadBeforeWrite(const std::string& model, const std::string& serial,
                                        std::int64_t utcMs, double offsetSeconds);
  // The device's time was read just after a write: a span opens.
  void ReadAfterWrite(const std::string& model, const std::string& serial, std::int64_t utcMs,
                      double offsetSeconds);
  // The device was (or may have been) set without a read after it, or a read failed: the
  // open span, if any, measures nothing.
  void Forget(const std::string& model, const std::string& serial);

  // Seeds the figures from the history, oldest entry first. Only read-backs count; a read
  // before a write closes a span only where its entry carries the span's drift, since the
  // history need not hold every write that came between (and a line may have been lost).
  void Replay(const HistoryEntry& entry);

  // The device's drift in seconds per day over its history; nullopt before its first span.
  std::optional<double> DriftPerDay(const std::string& model, const std::string& serial) const;
  int Spans(const std::string& model, const std::string& serial) const;

 private:
  struct Device {
    std::optional<std::pair<std::int64_t, double>> open;  // (utcMs, offset) after a write
    double sumLengthSquared = 0;                          // days squared
    double sumLengthGain = 0;                             // days times seconds
    int spans = 0;
  };
  using Key = std::pair<std::string, std::string>;
  // The span from the open read to this one, as (length in days, gain in seconds).
  static std::optional<std::pair<double, double>> Span(const Device& d, std::int64_t utcMs,
                                                       double offsetSeconds);
  static void Add(Device& d, const std::pair<double, double>& span);

  std::map<Key, Device> devices_;
};

}  // namespace horalign
