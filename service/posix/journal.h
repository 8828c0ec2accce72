#pragma once

#include <cstdio>
#include <string>

namespace horalign {

// Where the service's row lines go: to the journal with fields of their own when standard
// error is the journal's stream (systemd says so in JOURNAL_STREAM), else to the log as
// they are. The journal's fields: HORALIGN_PORT=COMn, HORALIGN_DEVICE= (the model) and
// HORALIGN_OUTCOME= (the status text), so that "journalctl -u horalign HORALIGN_PORT=COM2"
// picks one port's lines.
class RowJournal {
 public:
  explicit RowJournal(std::FILE* log);
  void Write(int port, const std::string& device, const std::string& status,
             const std::string& line);

 private:
  std::FILE* log_;
  bool journal_ = false;
};

}  // namespace horalign
