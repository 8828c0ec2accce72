#pragma once

#include "platform/win32/win32_api.h"

#include <array>
#include <cstdio>
#include <string>

namespace horalign {

// The service's log: each line goes to standard error (a console run shows it) and the
// lines that matter to an administrator also to the Application event log, source
// "Horalign", with the line as the message (cli/horalign_events.mc).
class ServiceEventLog {
 public:
  enum class Kind {
    kStart,
    kStop,
    kStartFailed,
    kConnected,
    kUpdated,
    kFailed,
    kWarning,
    kMessage
  };

  explicit ServiceEventLog(std::FILE* log);
  ~ServiceEventLog();
  ServiceEventLog(const ServiceEventLog&) = delete;
  ServiceEventLog& operator=(const ServiceEventLog&) = delete;

  void Line(const std::string& line) const;
  void Event(Kind kind, const std::string& line) const;
  // A settled row of COM `port`: a connection, a failure, and an update whose outcome
  // differs from the port's last one are events; the other rows only lines.
  void Row(int port, const std::string& status, const std::string& line);

 private:
  std::FILE* log_;
  HANDLE source_ = nullptr;
  std::array<int, 17> lastOutcome_{};  // per port: 0 none yet, 1 updated, -1 failed
};

}  // namespace horalign
