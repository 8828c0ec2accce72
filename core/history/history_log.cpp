#include "core/history/history_log.h"

#include <optional>

namespace horalign {

std::string HistoryFileName(int generation) {
  std::string name = "history.jsonl";
  return generation == 0 ? name : name + "." + std::to_string(generation);
}

void HistoryLog::Fail(const std::string& what) {
  if (std::exchange(failed_, true) || !warn_) return;
  warn_("the history cannot be kept in " + folder_.Where() + " (" + what +
        "); the updates go on without it");
}

// Shifts every file one generation older; the oldest is replaced. A file that will not
// move is left where it is and the history goes on in it, over the limit.
void HistoryLog::Rotate() {
  for (int g = kHistoryFiles - 1; g > 0; --g) {
    const std::string from = HistoryFileName(g - 1);
    if (folder_.Size(from) && !folder_.Rename(from, HistoryFileName(g))) {
      Fail("cannot rename " + from);
      return;
    }
  }
}

void HistoryLog::Append(const HistoryEntry& entry) {
  std::string line = EncodeHistoryLine(entry);
  const std::string current = HistoryFileName(0);
  const std::optional<std::int64_t> size = folder_.Size(current);
  if (size && *size > 0 && *size + static_cast<std::int64_t>(line.size()) > rotateBytes_) {
    Rotate();
  } else if (size && *size > 0 && !lineEndKnown_) {
    // A line cut by a crash or a full disk is ended first, so that it costs only itself.
    const std::optional<std::string> last = folder_.Read(current, 1);
    if (last && *last != "\n") line.insert(0, "\n");
  }
  std::string error;
  lineEndKnown_ = folder_.Append(current, line, error);
  if (!lineEndKnown_) Fail(error);
}

void HistoryLog::ForEachKept(const std::function<void(const HistoryEntry&)>& visit) {
  HistoryRead read;
  read.visit = visit;
  ReadHistory(folder_, std::move(read));
}

HistoryRead ReadHistory(LogFolder& folder, HistoryRead read) {
  for (int g = kHistoryFiles - 1; g >= 0; --g) {
    // Each file on its own: a cut last line never joins the next file's first.
    HistoryLineReader reader(read);
    folder.ReadPieces(HistoryFileName(g),
                      [&reader](std::string_view piece) { reader.Feed(piece); });
    reader.Finish();
  }
  return read;
}

}  // namespace horalign
