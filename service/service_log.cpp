#include "service/service_log.h"

#include <cstdio>

#include "core/sync/clock_hold.h"
#include "core/ui/window_layout.h"
#include "service/headless_views.h"

namespace horalign {

bool IsFailureStatus(const std::string& status) {
  for (const char* start : {"Error", "Unable", "No answer", "Unreadable", "Inconsistent"}) {
    if (status.starts_with(start)) return true;
  }
  return false;
}

LogLevel RowWeigher::Weigh(int port, const std::string& active, const std::string& device,
                           const std::string& sn, const std::string& status) {
  if (port < 1 || port >= static_cast<int>(last_.size())) return LogLevel::kInfo;
  std::string state = active;
  for (const std::string* part : {&device, &sn, &status}) state += '\n' + *part;
  const bool same = state == last_[static_cast<std::size_t>(port)];
  last_[static_cast<std::size_t>(port)] = std::move(state);
  if (same || (active != "Yes" && status == "Disconnected from device.")) return LogLevel::kDebug;
  return IsFailureStatus(status) ? LogLevel::kWarning : LogLevel::kInfo;
}

PcClockSyncInfo JournaledClockSync::Read() {
  PcClockSyncInfo info = inner_.Read();
  if (last_ == info.state) return info;
  last_ = info.state;
  std::string line = std::string("pc-clock=") + ClockStateName(info.state);
  char figure[48];
  if (info.maxErrorSeconds) {
    std::snprintf(figure, sizeof figure, " max-error=%.6f", *info.maxErrorSeconds);
    line += figure;
  }
  if (info.estErrorSeconds) {
    std::snprintf(figure, sizeof figure, " est-error=%.6f", *info.estErrorSeconds);
    line += figure;
  }
  if (!info.source.empty()) line += " source=" + LogValue(info.source);
  if (log_) {
    log_(info.state == ClockSyncState::kUnsynchronized ? LogLevel::kWarning : LogLevel::kInfo,
         line);
  }
  return info;
}

std::string ModeName(int mode) {
  return mode >= 1 && mode <= static_cast<int>(kModeTexts.size())
             ? kModeTexts[static_cast<std::size_t>(mode - 1)]
             : "none";
}

}  // namespace horalign
