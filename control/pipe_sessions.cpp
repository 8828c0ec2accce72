#include "control/pipe_sessions.h"

#include "control/json_lines.h"

namespace horalign {

std::optional<std::uint64_t> PipeSessions::NextAnswer(int client) {
  std::shared_ptr<Session>& held = sessions_[client];
  if (!held) held = std::make_shared<Session>();
  Session& session = *held;
  if (session.answers.size() >= kMaxOutstanding) {
    Gone(client);
    if (drop_) drop_(client);
    return std::nullopt;
  }
  session.answers.emplace_back();
  return session.first + session.answers.size() - 1;
}

void PipeSessions::Take(int client, const std::string& line, bool mayChange) {
  const std::optional<std::uint64_t> next = NextAnswer(client);
  if (!next) return;
  const std::uint64_t number = *next;
  RequestLine in = DecodeRequestLine(line);
  if (!in.request) {
    Answer refused;
    refused.error = std::move(in.error);
    return Answered(client, number, EncodeAnswerLine(RequestKind::kGetPorts, in.id, refused));
  }
  const RequestKind kind = in.request->kind;
  Caller caller{"pipe:" + std::to_string(client),
                [mayChange](const Request& request, const Caller::Decided& done) {
                  done(mayChange,
                       std::string(InfoOf(request.kind).name) + " needs an administrator");
                }};
  const std::weak_ptr<Session> there = sessions_[client];
  handler_.Take(*in.request, std::move(caller),
                [this, there, client, number, kind, id = std::move(in.id)](const Answer& answer) {
                  if (there.expired()) return;
                  if (kind == RequestKind::kWatch && answer.Ok()) watching_.insert(client);
                  Answered(client, number, EncodeAnswerLine(kind, id, answer));
                });
}

void PipeSessions::Answered(int client, std::uint64_t number, std::string line) {
  const auto found = sessions_.find(client);
  if (found == sessions_.end()) return;
  Session& session = *found->second;
  session.answers[number - session.first] = std::move(line);
  while (!session.answers.empty() && !session.answers.front().empty()) {
    send_(client, session.answers.front());
    session.answers.pop_front();
    ++session.first;
  }
}

void PipeSessions::TooLong(int client) {
  if (const std::optional<std::uint64_t> number = NextAnswer(client)) {
    Answered(client, *number, TooLongLine());
  }
}

void PipeSessions::Gone(int client) {
  sessions_.erase(client);
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
