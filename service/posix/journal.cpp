#include "service/posix/journal.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>

#include <cstdlib>

#include "service/headless_views.h"

namespace horalign {
namespace {

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected; it names standard
// error only when they match.
bool LogIsJournal(std::FILE* log) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat info {};
  if (stream == nullptr || ::fstat(::fileno(log), &info) != 0) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  return device == info.st_dev && inode == info.st_ino;
}

int Priority(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return 7;  // LOG_DEBUG
    case LogLevel::kInfo:
      return 6;  // LOG_INFO
    case LogLevel::kWarning:
      return 4;  // LOG_WARNING
    case LogLevel::kError:
      return 3;  // LOG_ERR
  }
  return 6;
}

}  // namespace

ServiceJournal::ServiceJournal(std::FILE* log) : log_(log), journal_(LogIsJournal(log)) {}

void ServiceJournal::Line(LogLevel level, const std::string& line) {
  if (!journal_ || sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", Priority(level),
                                   "SYSLOG_IDENTIFIER=horalign-cli", nullptr) < 0) {
    LogLine(log_, line);
  }
}

void ServiceJournal::Row(LogLevel level, int port, const std::string& device,
                         const std::string& status, const std::string& line) {
  if (!journal_ || sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", Priority(level),
                                   "SYSLOG_IDENTIFIER=horalign-cli", "HORALIGN_PORT=COM%d", port,
                                   "HORALIGN_DEVICE=%s", device.c_str(), "HORALIGN_OUTCOME=%s",
                                   status.c_str(), nullptr) < 0) {
    LogLine(log_, line);
  }
}

}  // namespace horalign
