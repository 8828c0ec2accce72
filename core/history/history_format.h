#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/history/history_entry.h"

namespace horalign {

// The history is a file of JSON lines, one flat object per operation, for example
//   {"v":1,"time":"2026-05-12T14:05:09.004Z","utcMs":1778594709004,"port":"COM3",
//    "model":"QM8340","sn":"10001","action":"push","cause":"clock-step","outcome":"ok",
//    "status":"Device updated successfully.","msPastSecond":4}
// "cause" is there for pushes only; "msPastSecond" where a time command was sent; the
// offsets ("offsetBefore", "offsetAfter") and "driftPerDay" where a read-back measured them.
// Readers take "utcMs" as the time; "time" is the same instant for people.
inline constexpr int kHistoryVersion = 1;

// The words a line uses; the decoder knows no others.
const char* HistoryActionWord(HistoryAction action);
const char* PushCauseWord(PushCause cause);  // "" for kNone

// One entry as one line, with its "\n". Texts that are not UTF-8 keep their bytes as the
// characters U+0080..U+00FF, so the line is always valid JSON.
std::string EncodeHistoryLine(const HistoryEntry& entry);

// What a line of the file holds.
enum class LineVerdict {
  kEntry,       // an entry of this version
  kUnreadable,  // cut, binary, not JSON, or without what an entry needs
  kNewer,       // written by a newer version ("v" above ours): left alone
};
struct DecodedLine {
  LineVerdict verdict = LineVerdict::kUnreadable;
  HistoryEntry entry;
};
// Reads one line (without its line break). Never throws; fields it does not know are
// ignored, so a later version may add some without raising "v".
DecodedLine DecodeHistoryLine(std::string_view line);

// The entries of a whole file, and how many of its lines had to be skipped. Blank lines
// are neither.
struct HistoryRead {
  std::vector<HistoryEntry> entries;
  int unreadable = 0;
  int newer = 0;
  // When set, entries are handed here instead of kept in `entries`, so that a long history
  // can be gone through without holding it.
  std::function<void(const HistoryEntry&)> visit;
};
void ReadHistoryText(std::string_view text, HistoryRead& into);

// The longest line a reader takes, far above any line the program writes (whose texts come
// from short device replies). A longer one is skipped to its end and counted as unreadable.
inline constexpr std::size_t kHistoryMaxLineBytes = 64 * 1024;

// Reads one file handed in pieces of any length, holding no more than one line of it.
class HistoryLineReader {
 public:
  explicit HistoryLineReader(HistoryRead& into) : into_(into) {}
  void Feed(std::string_view piece);
  // The file's end: a last line without its line break is read as it stands.
  void Finish();

 private:
  void Line(std::string_view line);

  HistoryRead& into_;
  std::string partial_;    // the start of a line whose end has not come yet
  bool overlong_ = false;  // the line has passed the limit: skip to its end
};

// The ISO 8601 text of a UTC instant, to the millisecond: "2026-05-12T14:05:09.004Z".
std::string IsoUtcText(std::int64_t utcMs);
// "COM3" for 3.
std::string PortName(int port);

// CSV (RFC 4180, CRLF) of entries, as an export for spreadsheets: a header, then one row per
// entry in the given order.
std::string HistoryCsvHeader();
std::string HistoryCsvRow(const HistoryEntry& entry);

}  // namespace horalign
