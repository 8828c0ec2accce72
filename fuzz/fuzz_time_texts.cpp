// "QT" replies and receiver time events against any PC time: what they ask of the clock.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/sync/time_sync.h"
#include "core/util/civil.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

namespace {

bool IsValid(const CivilTime& t) {
  return IsValidDate(t.year, t.month, t.day) && IsValidTimeOfDay(t.hour, t.minute, t.second) &&
         t.micro >= 0 && t.micro <= 999'999;
}

bool AreDigits(const std::string& text, int from, int to) {
  return std::all_of(text.begin() + from, text.begin() + to,
                     [](char c) { return c >= '0' && c <= '9'; });
}

void CheckQtReply(const std::string& text, const CivilTime& now) {
  const ClockDecision d = DecideQtReply(text, now);
  FUZZ_CHECK(d.accepted || !d.target);
  if (!d.accepted) return;
  FUZZ_CHECK(text.size() == 15 && AreDigits(text, 0, 6));
  FUZZ_CHECK(CheckDigitSum(text, 0, 12) == (AreDigits(text, 13, 14) ? text[13] - '0' : 0));
  if (!d.target) return;  // the PC already agrees
  const CivilTime& t = *d.target;
  FUZZ_CHECK(IsValid(t));
  FUZZ_CHECK(t.hour == TwoDigits(text, 0) && t.minute == TwoDigits(text, 2) &&
             t.second == TwoDigits(text, 4));
  // The date is the PC's own, or the reply's in the century nearest the PC's year.
  const bool ownDate = t.year == now.year && t.month == now.month && t.day == now.day;
  FUZZ_CHECK(ownDate || (t.month == TwoDigits(text, 6) && t.day == TwoDigits(text, 8) &&
                         t.year % 100 == TwoDigits(text, 10) && std::abs(t.year - now.year) <= 50));
}

void CheckReceiverEvent(const std::string& text, const CivilTime& now) {
  // Read without fault whatever the bytes and the time; which events are taken and what
  // they set is ReceiverEvent.IsCheckedAndSetsTheTimeOfDayNearestThePresent's, edge by edge.
  const ClockDecision d = DecideReceiverEvent(text, now);
  FUZZ_CHECK(d.accepted || !d.target);
  if (d.target) FUZZ_CHECK(IsValid(*d.target));
}

}  // namespace

FUZZ_TARGET(in) {
  // Any PC time from 1970 to 2199, to the microsecond.
  const CivilTime now =
      FromEpochMicros(in.ConsumeIntegralInRange<std::int64_t>(0, 7'258'118'399'999'999));
  const std::string text = in.ConsumeRemainingBytesAsString();
  CheckQtReply(text, now);
  CheckReceiverEvent(text, now);
}
