// A history file as a reader may find it: cut, binary, damaged by hand, or from a later
// version. No input crashes the reader; every line it does not skip reads back the same after
// it is written again, and the counts add up.
#include <string>
#include <string_view>

#include "core/history/history_format.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

FUZZ_TARGET(in) {
  const std::string text = in.ConsumeRemainingBytesAsString();
  HistoryRead read;
  ReadHistoryText(text, read);

  int lines = 0, entries = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    ++lines;
    const DecodedLine d = DecodeHistoryLine(line);
    if (d.verdict != LineVerdict::kEntry) continue;
    FUZZ_CHECK(read.entries[static_cast<std::size_t>(entries++)] == d.entry);
    // Written again, the entry is one line that reads back as it was, and is written alike.
    const std::string again = EncodeHistoryLine(d.entry);
    FUZZ_CHECK(again.back() == '\n' && again.find('\n') == again.size() - 1);
    const DecodedLine back = DecodeHistoryLine(std::string_view(again).substr(0, again.size() - 1));
    FUZZ_CHECK(back.verdict == LineVerdict::kEntry && back.entry == d.entry);
    FUZZ_CHECK(EncodeHistoryLine(back.entry) == again);
  }
  FUZZ_CHECK(static_cast<int>(read.entries.size()) == entries);
  FUZZ_CHECK(entries + read.unreadable + read.newer == lines);
}
