#pragma once

// The service's side of the pipe's lines, whatever carries them (control/win32/pipe_server.h
// on Windows): each line is one request, answered on a line of its own; a client that asked
// to Watch also gets the service's notices. A client that goes misses its answers, and
// nothing else changes.
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "control/control_handler.h"

namespace horalign {

class PipeSessions final : public ControlListener {
 public:
  // Sends one line (without its line break) to a client.
  using Send = std::function<void(int client, const std::string& line)>;
  PipeSessions(ControlHandler& handler, Send send) : handler_(handler), send_(std::move(send)) {}

  // One line from `client`; `mayChange`: the client may ask for changes (an administrator).
  void Take(int client, const std::string& line, bool mayChange);
  // A line longer than the carrier takes: it was dropped unread.
  void TooLong(int client);
  void Gone(int client);

  void RowChanged(const ServiceRow& row) override;
  void SettingsChanged(const ServiceSettingsRead& settings) override;

 private:
  ControlHandler& handler_;
  Send send_;
  std::map<int, std::shared_ptr<char>> clients_;  // those here; a reply checks its own
  std::set<int> watching_;
};

}  // namespace horalign
