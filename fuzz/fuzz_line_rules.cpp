// Line classification and the cutting of query replies, with lengths from the input.
#include <string>

#include "core/device/line_rules.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

FUZZ_TARGET(in) {
  const int expectedLength = in.ConsumeIntegralInRange<int>(-40, 40);
  const bool replyComplete = in.ConsumeBool();
  const bool acceptErrorReply = in.ConsumeBool();
  const std::string line = in.ConsumeRemainingBytesAsString();

  const bool complete = IsCompleteReply(line);
  FUZZ_CHECK(IsProbeAnswer(line) == IsErrorReply(line));
  // The acknowledge is the shortest complete line; a line is judged by its ends and length.
  FUZZ_CHECK(!complete || line.size() >= 2);
  if (line.size() > 25) FUZZ_CHECK(complete == line.ends_with("*\r"));
  if (IsReceiverTimeLine(line)) FUZZ_CHECK(line.size() >= 7 && line.starts_with("0371"));

  const std::string result = QueryResult(line, expectedLength, replyComplete, acceptErrorReply);
  if (!replyComplete) {
    FUZZ_CHECK(result.empty() || (result == "?99" && acceptErrorReply && line.starts_with("?99")));
  } else if (result.empty()) {
    // Nothing cut out: either nothing was expected or the line had neither length.
    const auto n = static_cast<long>(line.size());
    FUZZ_CHECK(expectedLength <= 0 || (n - 2 != expectedLength && n - 3 != expectedLength));
  } else {
    FUZZ_CHECK(static_cast<int>(result.size()) == expectedLength);
    FUZZ_CHECK(result == line.substr(0, result.size()) || result == line.substr(1, result.size()));
  }
}
