#include "service/service_log.h"

#include "core/ui/window_layout.h"

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

std::string ModeName(int mode) {
  return mode >= 1 && mode <= static_cast<int>(kModeTexts.size())
             ? kModeTexts[static_cast<std::size_t>(mode - 1)]
             : "none";
}

}  // namespace horalign
