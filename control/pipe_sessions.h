#pragma once

// The service's side of the pipe's lines, whatever carries them (control/win32/pipe_server.h
// on Windows): each line is one request, answered on a line of its own and in the order the
// requests came (a read answered at once waits for the operation asked before it); a client
// that asked to Watch also gets the service's notices. A client that goes misses its
// answers, and nothing else changes.
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "control/control_handler.h"

namespace horalign {

class PipeSessions final : public ControlListener {
 public:
  // Sends one line (without its line break) to a client.
  using Send = std::function<void(int client, const std::string& line)>;
  // Ends the connection of a client that has more answers waiting than kMaxOutstanding.
  using Drop = std::function<void(int client)>;
  PipeSessions(ControlHandler& handler, Send send, Drop drop = {})
      : handler_(handler), send_(std::move(send)), drop_(std::move(drop)) {}

  // Requests of one client not answered yet: beyond these it is sending without reading.
  static constexpr std::size_t kMaxOutstanding = 32;

  // One line from `client`; `mayChange`: the client may ask for changes (an administrator).
  void Take(int client, const std::string& line, bool mayChange);
  // A line longer than the carrier takes: it was dropped unread.
  void TooLong(int client);
  void Gone(int client);

  void RowChanged(const ServiceRow& row) override;
  void SettingsChanged(const ServiceSettingsRead& settings) override;

 private:
  // A client's answers not sent yet, in the order of its requests ("" while not known).
  struct Session {
    std::deque<std::string> answers;
    std::uint64_t first = 0;  // the number of the request at the front
  };
  // The number of the next answer `client` is owed; nullopt when it owes too many and has
  // been dropped.
  std::optional<std::uint64_t> NextAnswer(int client);
  // Puts `line` in its place, then sends what is ready from the front.
  void Answered(int client, std::uint64_t number, std::string line);

  ControlHandler& handler_;
  Send send_;
  Drop drop_;
  std::map<int, std::shared_ptr<Session>> sessions_;  // those here; a reply checks its own
  std::set<int> watching_;
};

}  // namespace horalign
