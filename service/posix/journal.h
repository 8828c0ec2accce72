#pragma once

#include <cstdio>
#include <string>

#include "service/service_log.h"

namespace horalign {

// Where the service's lines go: to the journal with a priority and fields of their own when
// standard error is the journal's stream (systemd says so in JOURNAL_STREAM), else to the
// log as they are, every one. A row's fields: HORALIGN_PORT=COMn, HORALIGN_DEVICE= (the
// model) and HORALIGN_OUTCOME= (the status text), so that "journalctl -u horalign
// HORALIGN_PORT=COM2" picks one port's lines and "journalctl -u horalign -p warning" its
// failures.
class ServiceJournal {
 public:
  explicit ServiceJournal(std::FILE* log);
  void Line(LogLevel level, const std::string& line);
  void Row(LogLevel level, int port, const std::string& device, const std::string& status,
           const std::string& line);

 private:
  std::FILE* log_;
  bool journal_ = false;
};

}  // namespace horalign
