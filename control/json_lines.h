#pragma once

// The control protocol as lines of JSON, one object a line each way (the named pipe on
// Windows; docs/windows.md lists the requests). A request names itself ("request") and may
// carry an "id" (a number or a string) that its answer carries back. An answer has "ok";
// a refusal "error" (an ErrorKind's name) and "message". The service's notices to watching
// clients have "event" instead.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/protocol.h"
#include "core/util/json_text.h"

namespace horalign {

// The longest line either side takes; a request is a few dozen bytes.
inline constexpr std::size_t kMaxControlLine = 4096;

// A request line as read: the request, or why it is none. `id` is null without one.
struct RequestLine {
  std::optional<Request> request;
  std::optional<ControlError> error;
  Json id;
};
RequestLine DecodeRequestLine(std::string_view line);
std::string EncodeRequestLine(const Request& request, std::int64_t id);

std::string EncodeAnswerLine(RequestKind kind, const Json& id, const Answer& answer);
// The answer to a line longer than kMaxControlLine.
std::string TooLongLine();

std::string EncodeRowEvent(const ServiceRow& row);
std::string EncodeSettingsEvent(const ServiceSettingsRead& settings);

// An answer or a notice as a client reads it.
struct AnswerLine {
  std::string event;  // "PortChanged", "SettingsChanged"; "" for an answer
  Json id;
  Answer answer;  // an answer's values, or a notice's row or settings
};
// Reads the values `kind`'s answer carries (or, for a notice, its row or settings);
// nullopt with `error` when the line is no JSON object.
std::optional<AnswerLine> DecodeAnswerLine(RequestKind kind, std::string_view line,
                                           std::string& error);

}  // namespace horalign
