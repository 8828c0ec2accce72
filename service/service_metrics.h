#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/history/history_entry.h"
#include "core/ui/port_list.h"

namespace horalign {

// What the service tells about each port's device besides its row: the figures a monitor
// graphs. Taken from the operations as they are kept, and from the history at start.
struct DeviceFigures {
  std::string model, serial;
  std::int64_t lastSuccessUtcMs = 0;  // 0: never since it is known
  std::optional<double> lastOffset;   // seconds, read back after a write
  std::uint32_t failedUpdates = 0;    // since the service started
};

// The service's history: every entry goes on to the history file, and the figures and the
// last write of each port are kept on the way.
class MetricsHistory final : public HistorySink {
 public:
  explicit MetricsHistory(HistorySink& inner) : inner_(inner) {}

  void Append(const HistoryEntry& entry) override;
  void ForEachKept(const std::function<void(const HistoryEntry&)>& visit) override;

  const DeviceFigures& Figures(int port) const { return figures_[Index(port)]; }
  // The last write or push on `port` since ForgetWrite(port).
  const std::optional<HistoryEntry>& LastWrite(int port) const { return lastWrite_[Index(port)]; }
  void ForgetWrite(int port) { lastWrite_[Index(port)].reset(); }

 private:
  static std::size_t Index(int port) {
    return static_cast<std::size_t>(port >= 1 && port <= kPortRows ? port - 1 : 0);
  }
  void Note(const HistoryEntry& entry, bool live);

  HistorySink& inner_;
  std::array<DeviceFigures, kPortRows> figures_{};
  std::array<std::optional<HistoryEntry>, kPortRows> lastWrite_{};
};

}  // namespace horalign
