#include "core/sync/read_back.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/serial/line_settings.h"
#include "core/sync/time_sync.h"
#include "core/util/civil.h"

// How the offset is measured finer than a second.
//
// A "QT" answer carries the device's time in whole seconds. The device reads its clock as
// the query's CR reaches it, at PC time P = (when the query began to go out) + (the three
// bytes' time on the line); an answer S then says S <= P + offset < S + 1, which confines the
// offset to a window one second wide starting at S - P. The first query places the window.
// Each later one goes out at the moment that puts the middle of the window onto a whole
// second of the device's clock, so whether its answer shows that second or the one before
// tells on which side of the middle the offset lies: the window halves. Eight queries leave
// 1/128 s, and the middle is within 4 ms. A delay of the device's own in reading its clock
// shifts every read alike and cancels in the drift, which compares reads.
//
// Were the first query always sent at the same point of a second, the reads just after a
// write (which leaves a device at much the same offset every time) would all round alike,
// and that one rounding error would bias every span. The first query's point in the second
// therefore moves on by the golden ratio from read to read, and the rounding averages out.

namespace horalign {
namespace {

constexpr int kQueries = 8;
constexpr std::int32_t kQueryTimeoutTicks = 30;
constexpr std::int64_t kSecondUs = 1'000'000;
constexpr std::int64_t kDayUs = 86'400 * kSecondUs;
// A device this slow to answer may read its clock at any moment before it does.
constexpr std::int64_t kMaxAnswerUs = 1'400'000;
// Answers that miss each other by this little are the limit of the measurement (a device
// takes a varying moment to read its clock); by more, the device's clock jumped meanwhile.
constexpr std::int64_t kToleranceUs = 50'000;
constexpr double kGoldenRatio = 0.6180339887498949;
// The last stretch before a query is slept, not yielded: a window timer may come some 16 ms
// late, and a query sent late loses the halving. Anything longer the loop waits out.
constexpr std::int64_t kSleepLeadUs = 20'000;
constexpr int kMaxWaitRounds = 8;

std::int64_t Mod(std::int64_t a, std::int64_t m) {
  return (a % m + m) % m;
}

std::int64_t NowUs(Clock& clock, bool utc) {
  return ToEpochMicros(utc ? clock.UtcNow() : clock.LocalNow());
}

// How long `bytes` bytes take on the line at the port's settings.
std::int64_t LineTimeUs(const std::string& settings, int bytes) {
  const std::optional<LineSettings> line = ParseLineSettings(settings);
  if (!line) return 0;
  const int bits = 1 + line->dataBits + (line->parity == 'N' ? 0 : 1) + line->stopBits;
  return std::int64_t{bytes} * bits * kSecondUs / line->baud;
}

// Waits until the clock reads `phase` microseconds past a whole second, running the loop
// meanwhile so the window repaints and the port monitor reads on. A wait that overshoots (a
// long handler) takes the next second's moment; a bounded number of rounds, then it goes.
void WaitForPhase(Clock& clock, EventLoop& loop, bool utc, std::int64_t phase) {
  for (int round = 0; round < kMaxWaitRounds; ++round) {
    const std::int64_t leftUs = Mod(phase - NowUs(clock, utc), kSecondUs);
    if (leftUs <= kSleepLeadUs + 1000) {
      clock.SleepMicros(leftUs);
      return;
    }
    bool due = false;
    const auto timer = loop.CreateTimer(static_cast<int>((leftUs - kSleepLeadUs) / 1000), true,
                                        [&due] { due = true; });
    while (!due) loop.Yield();
  }
}

}  // namespace

const char* ReadBackText(ReadBackFailure failure) {
  switch (failure) {
    case ReadBackFailure::kNone:
      return "Device time read.";
    case ReadBackFailure::kNoAnswer:
      return "No answer to the time query.";
    case ReadBackFailure::kUnreadable:
      return "Unreadable answer to the time query.";
    case ReadBackFailure::kInconsistent:
      return "Inconsistent answers to the time query.";
  }
  return "";
}

ReadBack MeasureDeviceOffset(Clock& clock, EventLoop& loop, QV_Paging& paging,
                             const clsSerialCommAPI& port, bool utc, std::uint32_t dither) {
  const std::int64_t lineUs = LineTimeUs(port.Settings(), 3);
  const auto firstPhase =
      static_cast<std::int64_t>(std::fmod(dither * kGoldenRatio, 1.0) * kSecondUs);
  std::int64_t lo = 0, hi = 0;  // the window of the offset, microseconds
  for (int i = 0; i < kQueries; ++i) {
    const std::int64_t phase = i == 0 ? firstPhase : -(lo + hi) / 2 - lineUs;
    WaitForPhase(clock, loop, utc, phase);
    const std::uint64_t linesBefore = paging.LinesReceived();
    const std::int64_t sentUs = NowUs(clock, utc);
    std::string reply;
    // Sent once, not repeated as QueryDevice would: the answer to a repeat could come in
    // during the write and be taken for its acknowledgement.
    paging.SendCommand("QT", "", Frame::kPlain, kQueryTimeoutTicks, reply);
    if (paging.LinesReceived() == linesBefore) return {{}, ReadBackFailure::kNoAnswer};
    const std::optional<int> seconds = QtReplySecondsOfDay(reply);
    if (!seconds) return {{}, ReadBackFailure::kUnreadable};
    if (NowUs(clock, utc) - sentUs > kMaxAnswerUs) return {{}, ReadBackFailure::kNoAnswer};
    // The device keeps a time of day; offsets are taken within half a day of the first.
    const std::int64_t near = i == 0 ? 0 : lo;
    const std::int64_t start =
        near + Mod(*seconds * kSecondUs - (sentUs + lineUs) - near + kDayUs / 2, kDayUs) -
        kDayUs / 2;
    if (i == 0) {
      lo = start, hi = start + kSecondUs;
      continue;
    }
    const std::int64_t newLo = std::max(lo, start), newHi = std::min(hi, start + kSecondUs);
    if (newLo - newHi > kToleranceUs) return {{}, ReadBackFailure::kInconsistent};
    if (newLo >= newHi) {
      lo = hi = (newLo + newHi) / 2;
      break;
    }
    lo = newLo, hi = newHi;
  }
  return {static_cast<double>(lo + hi) / 2 / kSecondUs, ReadBackFailure::kNone};
}

}  // namespace horalign
