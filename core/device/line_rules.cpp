#include "core/device/line_rules.h"

#include <array>

namespace horalign {

bool IsCompleteReply(std::string_view line) {
  return line.ends_with("*\r") || line.size() == 15 || line.size() == 25;
}

bool IsErrorReply(std::string_view line) {
  return line.starts_with("?99") || line.starts_with("?\r");
}

bool IsProbeAnswer(std::string_view line) {
  return IsErrorReply(line);
}

bool IsReceiverTimeLine(std::string_view line) {
  static constexpr std::array<std::string_view, 4> kPartNumbers = {"0371461", "0371437", "0371462",
                                                                   "0371438"};
  for (auto part : kPartNumbers) {
    if (line.starts_with(part)) return true;
  }
  return false;
}

std::string QueryResult(std::string_view line, int expectedLength, bool replyComplete,
                        bool acceptErrorReply) {
  if (!replyComplete) {
    return acceptErrorReply && line.starts_with("?99") ? "?99" : "";
  }
  // No cut leaves a negative number of characters; without this guard the cut below
  // would run past the start of a short line.
  if (expectedLength < 0) return "";
  const auto length = static_cast<long>(line.size());
  if (length - 2 == expectedLength) return std::string(line.substr(0, line.size() - 2));
  if (length - 3 == expectedLength) return std::string(line.substr(1, line.size() - 3));
  return "";
}

}  // namespace horalign
