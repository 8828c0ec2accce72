#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/history/history_format.h"
#include "core/history/history_log.h"
#include "sim/memory_log_folder.h"

namespace horalign::test {
namespace {

HistoryEntry Push() {
  HistoryEntry e;
  e.utcMs = 1'796'479'509'004;
  e.port = 3;
  e.model = "QM8340";
  e.serial = "10001";
  e.action = HistoryAction::kPush;
  e.cause = PushCause::kClockStep;
  e.ok = true;
  e.status = "Device updated successfully.";
  e.msPastSecond = 4;
  return e;
}

// The line is the file's format: other programs read it, so it is pinned to the byte.
TEST(HistoryLine, IsOneFlatJsonObjectThatReadsBackAsItWasWritten) {
  const std::string line = EncodeHistoryLine(Push());
  EXPECT_EQ(line,
            R"({"v":1,"time":"2026-12-05T14:05:09.004Z","utcMs":1796479509004,"port":"COM3",)"
            R"("model":"QM8340","sn":"10001","action":"push","cause":"clock-step","outcome":"ok",)"
            R"("status":"Device updated successfully.","msPastSecond":4})"
            "\n");
  HistoryEntry odd = Push();
  odd.action = HistoryAction::kRead;
  odd.cause = PushCause::kNone;
  odd.ok = false;
  odd.utcMs = -1;  // before 1970: still one instant
  odd.port = 9;
  odd.model = "Q\"M\\\r\x01\xc3\xa9\xf0\x9f\x95\x90\x7f\xe0\xa0\x80\xf4\x8f\xbf\xbf";
  odd.serial = "";
  odd.msPastSecond = -1;
  odd.offsetBefore = -0.1;
  odd.offsetAfter = 2.5e-7;
  odd.driftPerDay = 1e300;
  for (const HistoryEntry& e : {Push(), odd}) {
    const std::string text = EncodeHistoryLine(e);
    const DecodedLine d = DecodeHistoryLine(std::string_view(text).substr(0, text.size() - 1));
    EXPECT_EQ(d.verdict, LineVerdict::kEntry) << text;
    EXPECT_EQ(d.entry, e) << text;
  }
  EXPECT_EQ(IsoUtcText(-1), "1969-12-31T23:59:59.999Z");
  // A time command's millisecond out of range is not written (noise that is not UTF-8 is
  // swept against Python's json in tests/reference).
  odd.msPastSecond = 1000;
  const std::string text = EncodeHistoryLine(odd);
  EXPECT_EQ(DecodeHistoryLine(std::string_view(text).substr(0, text.size() - 1)).entry.msPastSecond,
            -1);
}

// What a reader meets in a file that was cut, damaged, or written by a later version.
TEST(HistoryLine, AnythingButAWholeEntryOfThisVersionIsSkippedAndTold) {
  const std::string good = EncodeHistoryLine(Push());
  const std::string body = good.substr(1, good.size() - 3);  // without { and }\n
  const auto with = [&](const std::string& members) { return "{" + members + "}"; };
  // The good line with one member's value given as raw text (appended when it has none).
  const auto member = [&](const std::string& key, const std::string& raw) {
    const std::string name = "\"" + key + "\":";
    const std::size_t at = body.find(name);
    if (at == std::string::npos) return with(body + "," + name + raw);
    const std::size_t from = at + name.size(), to = body.find(",\"", from);
    return with(body.substr(0, from) + raw + (to == std::string::npos ? "" : body.substr(to)));
  };
  const struct {
    std::string line;
    LineVerdict verdict;
    std::string sn = "10001";  // as read from an entry
  } rows[] = {
      {" " + with(body + R"(,"later":{"a":[1,{"b":null}]},"x":true)") + " \r", LineVerdict::kEntry},
      {member("utcMs", R"(-62135596800000)"), LineVerdict::kEntry},  // year 1
      {with(R"("v":2,"whatever":[1,2])"), LineVerdict::kNewer},
      {with(R"("v":99)"), LineVerdict::kNewer},
      {good.substr(0, good.size() / 2), LineVerdict::kUnreadable},  // cut
      {good.substr(0, good.size() - 2), LineVerdict::kUnreadable},  // cut before the brace
      {std::string("\x00\x01\xff\xfe{\"v\":1}", 10), LineVerdict::kUnreadable},
      {"not json at all", LineVerdict::kUnreadable},
      {with(body) + with(body), LineVerdict::kUnreadable},
      {with(body + R"(,"sn":"10001")"), LineVerdict::kUnreadable},  // a key twice: which counts?
      {member("status", R"("tab	inside")"), LineVerdict::kUnreadable},
      {member("sn", "\"\xc3\x28\""), LineVerdict::kUnreadable},  // not UTF-8
      {member("sn", R"("\u12x4")"), LineVerdict::kUnreadable},
      {member("sn", R"("\q")"), LineVerdict::kUnreadable},
      {member("v", R"(0)"), LineVerdict::kUnreadable},
      {member("v", R"("1")"), LineVerdict::kUnreadable},
      {member("utcMs", R"(1.5)"), LineVerdict::kUnreadable},
      {member("utcMs", R"(253402300800000)"), LineVerdict::kUnreadable},  // year 10000
      {member("utcMs", R"(-62135596800001)"), LineVerdict::kUnreadable},  // year 0
      {member("port", R"("COM0")"), LineVerdict::kUnreadable},
      {member("port", R"("COM-0")"), LineVerdict::kUnreadable},
      {member("port", R"("COM256")"), LineVerdict::kUnreadable},
      {member("action", R"("reboot")"), LineVerdict::kUnreadable},
      {member("cause", R"("dst")"), LineVerdict::kUnreadable},
      {with(R"("v":1,"utcMs":0,"port":"COM1","action":"read")"), LineVerdict::kUnreadable},
      {with(body + R"(,"later":{,"x":0)"), LineVerdict::kUnreadable},
      {member("outcome", R"("maybe")"), LineVerdict::kUnreadable},
      {member("msPastSecond", R"(1000)"), LineVerdict::kUnreadable},
      {member("offsetAfter", R"(1e999)"), LineVerdict::kUnreadable},
      {member("offsetAfter", R"("0.5")"), LineVerdict::kUnreadable},
      {member("model", R"(7)"), LineVerdict::kUnreadable},
      {with(R"("v":1,"deep":)" + std::string(20, '[') + std::string(20, ']')),
       LineVerdict::kUnreadable},
  };
  HistoryRead read;
  std::string file;
  int entries = 0, newer = 0;
  for (const auto& row : rows) {
    const DecodedLine d = DecodeHistoryLine(row.line);
    const std::string sn = d.verdict == LineVerdict::kEntry ? d.entry.serial : row.sn;
    EXPECT_EQ(std::tie(d.verdict, sn), std::tie(row.verdict, row.sn)) << row.line;
    file += row.line + "\n\n";
    entries += row.verdict == LineVerdict::kEntry;
    newer += row.verdict == LineVerdict::kNewer;
  }
  ReadHistoryText(file + good.substr(0, 20), read);  // the last line cut without its "\n"
  EXPECT_EQ(std::tuple(read.entries.size(), read.newer, read.unreadable),
            std::tuple(std::size_t(entries), newer, int(std::size(rows)) - entries - newer + 1));
}

TEST(HistoryCsv, QuotesOnlyWhatNeedsIt) {
  HistoryEntry e = Push();
  e.status = "say \"hi\", then\nstop";
  e.offsetAfter = -0.25, e.msPastSecond = 0;
  EXPECT_EQ(HistoryCsvRow(e),
            "2026-12-05T14:05:09.004Z,COM3,QM8340,10001,push,clock-step,ok,"
            "\"say \"\"hi\"\", then\nstop\",0,,-0.25,\r\n");
}

// Lines of 217 bytes against a limit of 651: three fit in a file exactly, the fourth starts a
// new one, and the third file to be started pushes the oldest out.
TEST(HistoryLog, RotatesAtTheLimitKeepingThreeFilesAndReadsThemOldestFirst) {
  sim::MemoryLogFolder folder;
  HistoryLog log(folder, nullptr, 651);
  HistoryEntry e = Push();
  for (int n = 0; n < 10; ++n) {
    e.utcMs = 1'796'479'509'000 + n;
    log.Append(e);
  }
  ASSERT_EQ(EncodeHistoryLine(e).size(), 217u);
  EXPECT_EQ(std::tuple(folder.files.size(), folder.Size("history.jsonl"),
                       folder.Size("history.jsonl.1"), folder.Size("history.jsonl.2")),
            std::tuple(3u, 217, 651, 651));
  folder.files["history.jsonl.-1"] = EncodeHistoryLine(e);  // not one of the history's files
  const HistoryRead read = ReadHistory(folder);
  ASSERT_EQ(read.entries.size(), 7u);
  for (int n = 0; n < 7; ++n) EXPECT_EQ(read.entries[n].utcMs, 1'796'479'509'003 + n);
}

// A full disk or a file that will not move costs the lines that could not be kept, never the
// operation: the program is told once. A line cut by a crash costs only itself.
TEST(HistoryLog, AFailureIsToldOnceAndACutLineIsEndedFirst) {
  sim::MemoryLogFolder folder;
  std::vector<std::string> told;
  HistoryLog log(
      folder, [&](const std::string& m) { told.push_back(m); }, 1000);
  folder.files["history.jsonl"] = "{";
  log.Append(Push());
  log.Append(Push());
  EXPECT_EQ(ReadHistory(folder).entries.size(), 2u);
  EXPECT_EQ(ReadHistory(folder).unreadable, 1);
  folder.full = true;
  for (int n = 0; n < 3; ++n) log.Append(Push());
  folder.full = false;
  folder.renames = false;
  for (int n = 0; n < 3; ++n) log.Append(Push());
  EXPECT_EQ(told, std::vector<std::string>{"the history cannot be kept in memory (No space left "
                                           "on device); the updates go on without it"});
  EXPECT_TRUE(log.Failed());
  // Kept on in the file that did not move; a file known to end a line gets no blank one.
  EXPECT_EQ(std::tuple(ReadHistory(folder).entries.size(), folder.Size("history.jsonl")),
            std::tuple(5u, 2 + 5 * 217));
}

// The default limit is 5 MiB; an empty file is never rotated, even for a longer line.
TEST(HistoryLog, RotatesPastFiveMiBButNeverAnEmptyFile) {
  sim::MemoryLogFolder big, empty;
  big.files["history.jsonl"] = std::string((5 << 20) - EncodeHistoryLine(Push()).size() + 1, 'x');
  empty.files["history.jsonl"] = "";
  HistoryLog(big, nullptr).Append(Push());
  HistoryLog(empty, nullptr, 100).Append(Push());
  EXPECT_EQ(std::tuple(big.files.size(), empty.files.size()), std::tuple(2u, 1u));
}

// Each file is read in pieces of any length, holding one line at most: a line at the limit is
// read, one past it is skipped to its end and counted, as is a cut last line, and the reading
// goes on after both.
TEST(HistoryLog, StreamsEachFileHoldingOneBoundedLineAtMost) {
  const auto entry = [](std::int64_t utcMs, std::size_t lineBytes = 0) {
    HistoryEntry e = Push();
    e.utcMs = utcMs;
    const std::size_t plain = EncodeHistoryLine(e).size() - 1;  // without its "\n"
    if (lineBytes > plain) e.status += std::string(lineBytes - plain, 's');
    return EncodeHistoryLine(e);
  };
  sim::MemoryLogFolder folder;
  folder.files["history.jsonl.2"] = entry(1) + entry(9, kHistoryMaxLineBytes + 1) + entry(2) +
                                    entry(3, kHistoryMaxLineBytes) + "\n" + entry(9).substr(0, 30);
  folder.files["history.jsonl.1"] = entry(4);
  folder.files["history.jsonl"] = entry(5).substr(0, entry(5).size() - 1);  // whole, no "\n"
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{7}, LogFolder::kReadPieceBytes, std::size_t{1} << 20}) {
    folder.pieceBytes = piece;
    const HistoryRead read = ReadHistory(folder);
    std::vector<std::int64_t> times;
    for (const HistoryEntry& e : read.entries) times.push_back(e.utcMs);
    EXPECT_EQ(times, (std::vector<std::int64_t>{1, 2, 3, 4, 5})) << piece;
    EXPECT_EQ(std::pair(read.unreadable, read.newer), std::pair(2, 0)) << piece;
    ASSERT_EQ(read.entries.size(), 5u);
    EXPECT_EQ(EncodeHistoryLine(read.entries[2]).size(), kHistoryMaxLineBytes + 1) << piece;
  }
}

}  // namespace
}  // namespace horalign::test
