#include "service/win32/event_log.h"

#include <string_view>

#include "horalign_events.h"  // windmc's, in the build tree
#include "service/headless_views.h"

namespace horalign {
namespace {

constexpr const char* kEventSource = "Horalign";

WORD TypeOf(DWORD id) {
  switch (id >> 30) {
    case STATUS_SEVERITY_ERROR:
      return EVENTLOG_ERROR_TYPE;
    case STATUS_SEVERITY_WARNING:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

DWORD IdOf(ServiceEventLog::Kind kind) {
  using Kind = ServiceEventLog::Kind;
  switch (kind) {
    case Kind::kStart:
      return HORALIGN_EVENT_START;
    case Kind::kStop:
      return HORALIGN_EVENT_STOP;
    case Kind::kStartFailed:
      return HORALIGN_EVENT_START_FAILED;
    case Kind::kConnected:
      return HORALIGN_EVENT_CONNECTED;
    case Kind::kUpdated:
      return HORALIGN_EVENT_UPDATED;
    case Kind::kFailed:
      return HORALIGN_EVENT_FAILED;
    case Kind::kWarning:
      return HORALIGN_EVENT_WARNING;
    case Kind::kMessage:
      break;
  }
  return HORALIGN_EVENT_MESSAGE;
}

// The statuses that say a connection, a write or a read did not work ("Unable to connect
// to device - check settings.", "Error updating device.", "Unable to set PC time - ...").
bool IsFailure(std::string_view status) {
  return status.starts_with("Unable") || status.starts_with("Error");
}

}  // namespace

ServiceEventLog::ServiceEventLog(std::FILE* log)
    : log_(log), source_(::RegisterEventSourceA(nullptr, kEventSource)) {}

ServiceEventLog::~ServiceEventLog() {
  if (source_ != nullptr) ::DeregisterEventSource(source_);
}

void ServiceEventLog::Line(const std::string& line) const {
  LogLine(log_, line);
}

void ServiceEventLog::Event(Kind kind, const std::string& line) const {
  Line(line);
  if (source_ == nullptr) return;
  const DWORD id = IdOf(kind);
  const char* strings[] = {line.c_str()};
  ::ReportEventA(source_, TypeOf(id), 0, id, nullptr, 1, 0, strings, nullptr);
}

void ServiceEventLog::Row(int port, const std::string& status, const std::string& line) {
  const bool updated =
      status == "Device updated successfully." || status == "PC updated successfully.";
  const bool failed = IsFailure(status);
  int& last = lastOutcome_[static_cast<std::size_t>(port >= 1 && port <= 16 ? port : 0)];
  if (status == "Connected to device.") {
    Event(Kind::kConnected, line);
  } else if (failed) {
    last = -1;
    Event(Kind::kFailed, line);
  } else if (updated && last != 1) {
    last = 1;
    Event(Kind::kUpdated, line);
  } else {
    Line(line);
  }
}

}  // namespace horalign
