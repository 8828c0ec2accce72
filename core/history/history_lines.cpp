#include "core/history/history_format.h"

#include <utility>

namespace horalign {

void HistoryLineReader::Line(std::string_view line) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;
  DecodedLine d = DecodeHistoryLine(line);
  if (d.verdict == LineVerdict::kEntry) {
    if (into_.visit) {
      into_.visit(d.entry);
    } else {
      into_.entries.push_back(std::move(d.entry));
    }
  } else {
    ++(d.verdict == LineVerdict::kNewer ? into_.newer : into_.unreadable);
  }
}

void HistoryLineReader::Feed(std::string_view piece) {
  while (!piece.empty()) {
    const std::size_t end = piece.find('\n');
    const std::string_view part = piece.substr(0, end);
    piece = end == std::string_view::npos ? std::string_view() : piece.substr(end + 1);
    if (!overlong_ && partial_.size() + part.size() > kHistoryMaxLineBytes) {
      overlong_ = true;
      partial_.clear();
    }
    if (end == std::string_view::npos) {
      if (!overlong_) partial_.append(part);
      return;
    }
    if (overlong_) {
      ++into_.unreadable;
      overlong_ = false;
    } else if (partial_.empty()) {
      Line(part);  // whole in this piece: no copy
    } else {
      partial_.append(part);
      Line(partial_);
      partial_.clear();
    }
  }
}

void HistoryLineReader::Finish() {
  if (overlong_) {
    ++into_.unreadable;
  } else if (!partial_.empty()) {
    Line(partial_);
  }
  partial_.clear();
  overlong_ = false;
}

void ReadHistoryText(std::string_view text, HistoryRead& into) {
  HistoryLineReader reader(into);
  reader.Feed(text);
  reader.Finish();
}

}  // namespace horalign
