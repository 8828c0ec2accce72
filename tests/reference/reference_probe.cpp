// Answers reference_test.py: one request a line, "<op> <hex>", one answer a line, the result
// in hex or "-" when the core refuses the input.
#include <iostream>
#include <optional>
#include <string>

#include "core/history/history_format.h"
#include "core/settings/utf16.h"

namespace horalign {
namespace {

std::optional<std::string> Answer(const std::string& op, const std::string& in) {
  HistoryEntry e;
  e.utcMs = 1'778'594'709'004;
  e.port = 3;
  if (op == "u16to8") return Utf16ToUtf8(in);
  if (op == "u8to16") return Utf8ToUtf16(in);
  if (op == "isutf8") return IsUtf8(in) ? "1" : "0";
  if (op == "history") return e.model = in, EncodeHistoryLine(e);  // a model's bytes as a line
  if (op == "model") {                                             // a line's model as read back
    const DecodedLine d = DecodeHistoryLine(in);
    return d.verdict == LineVerdict::kEntry ? std::optional(d.entry.model) : std::nullopt;
  }
  // op "csv": model, serial and status, a NUL between them, as a CSV row
  const std::size_t a = in.find('\0'), b = in.find('\0', a + 1);
  e.model = in.substr(0, a), e.serial = in.substr(a + 1, b - a - 1), e.status = in.substr(b + 1);
  return HistoryCsvRow(e);
}

}  // namespace
}  // namespace horalign

int main() {
  std::string line, in, out;
  while (std::getline(std::cin, line)) {
    const std::size_t space = line.find(' ');
    in.clear();
    for (std::size_t i = space + 1; i + 1 < line.size(); i += 2) {
      in += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    }
    const auto answer = horalign::Answer(line.substr(0, space), in);
    out = answer ? std::string() : std::string("-");
    for (const char c : answer.value_or(std::string())) {
      const auto b = static_cast<unsigned char>(c);
      out.push_back("0123456789abcdef"[b >> 4]);
      out.push_back("0123456789abcdef"[b & 0xF]);
    }
    std::cout << out << '\n';
  }
  return 0;
}
