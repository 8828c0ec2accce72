#include "control/pipe_sessions.h"

#include "control/json_lines.h"

namespace horalign {

void PipeSessions::Take(int client, const std::string& line, bool mayChange) {
  std::shared_ptr<char>& token = clients_[client];
  if (!token) token = std::make_shared<char>();
  const std::weak_ptr<char> there = token;
  RequestLine in = DecodeRequestLine(line);
  if (!in.request) {
    Answer refused;
    refused.error = std::move(in.error);
    return send_(client, EncodeAnswerLine(RequestKind::kGetPorts, in.id, refused));
  }
  const RequestKind kind = in.request->kind;
  Caller caller{"pipe:" + std::to_string(client),
                [mayChange](const Request& request, const Caller::Decided& done) {
                  done(mayChange,
                       std::string(InfoOf(request.kind).name) + " needs an administrator");
                }};
  handler_.Take(*in.request, std::move(caller),
                [this, there, client, kind, id = std::move(in.id)](const Answer& answer) {
                  if (there.expired()) return;
                  if (kind == RequestKind::kWatch && answer.Ok()) watching_.insert(client);
                  send_(client, EncodeAnswerLine(kind, id, answer));
                });
}

void PipeSessions::TooLong(int client) {
  send_(client, TooLongLine());
}

void PipeSessions::Gone(int client) {
  clients_.erase(client);
  watching_.erase(client);
}

void PipeSessions::RowChanged(const ServiceRow& row) {
  if (watching_.empty()) return;
  const std::string line = EncodeRowEvent(row);
  for (int client : watching_) send_(client, line);
}

void PipeSessions::SettingsChanged(const ServiceSettingsRead& settings) {
  if (watching_.empty()) return;
  const std::string line = EncodeSettingsEvent(settings);
  for (int client : watching_) send_(client, line);
}

}  // namespace horalign
