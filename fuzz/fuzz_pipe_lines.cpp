// The pipe's line reader: any bytes, cut into lines as the pipe cuts them (at most
// kMaxControlLine bytes a line). Every line is read as a request or refused with a reason;
// a request read back from its own line is the same request; every answer is one line of
// valid JSON.
#include <string>

#include "control/json_lines.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

namespace {

bool Same(const Request& a, const Request& b) {
  return a.kind == b.kind && a.port == b.port && a.number == b.number && a.flag == b.flag &&
         a.ports == b.ports && a.path == b.path;
}

void OneLine(const std::string& line) {
  const RequestLine in = DecodeRequestLine(line);
  FUZZ_CHECK(in.request.has_value() != in.error.has_value());
  Answer answer;
  if (in.error) {
    FUZZ_CHECK(!in.error->message.empty());
    answer.error = in.error;
  } else {
    const RequestLine again = DecodeRequestLine(EncodeRequestLine(*in.request, 7));
    FUZZ_CHECK(again.request && Same(*again.request, *in.request));
    FUZZ_CHECK(again.id.is_number_integer() && again.id.get<int>() == 7);
  }
  const std::string out =
      EncodeAnswerLine(in.request ? in.request->kind : RequestKind::kGetPorts, in.id, answer);
  FUZZ_CHECK(out.find('\n') == std::string::npos);
  std::string error;
  const std::optional<Json> parsed = ParseJsonText(out, error);
  FUZZ_CHECK(parsed && parsed->is_object() && (*parsed)["ok"].is_boolean());
}

}  // namespace

FUZZ_TARGET(in) {
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  std::string line;
  for (const char c : bytes) {
    if (c != '\n') {
      if (line.size() <= kMaxControlLine) line += c;
      continue;
    }
    if (line.size() <= kMaxControlLine) OneLine(line);
    line.clear();
  }
  if (!line.empty() && line.size() <= kMaxControlLine) OneLine(line);
}
