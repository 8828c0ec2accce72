#include "core/sync/feed_sample.h"

#include "core/sync/time_sync.h"
#include "core/util/civil.h"

namespace horalign {
namespace {

constexpr int kSecondsPerDay = 86400;

}  // namespace

std::int64_t CharacterMicros(const LineSettings& line) {
  const int bits = 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
  return (std::int64_t{bits} * 1'000'000 + line.baud / 2) / line.baud;
}

std::int64_t FirstByteUtcMicros(const LineArrival& arrival, const LineSettings& line) {
  return arrival.readUtcMicros - std::int64_t{arrival.bytesFromFirst} * CharacterMicros(line);
}

std::optional<SourceReading> ReadReceiverEvent(const std::string& text) {
  // The checks are the ones that decide whether the PC clock would be set from the event.
  const ClockDecision decision = DecideReceiverEvent(text, CivilTime{});
  if (!decision.accepted) return std::nullopt;
  const std::string part = text.substr(0, 7);
  const bool endsMinute = part == "0371461" || part == "0371437";
  const int raw = TwoDigits(text, 7) * 3600 + TwoDigits(text, 9) * 60 - 7 * 3600;
  SourceReading reading{(raw % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay, 0};
  const int seconds = TwoDigits(text, 12);
  if (seconds >= 0 && seconds <= 60) {
    reading.secondsOfDay += seconds;
    if (text.size() > 14) reading.leap = text[14] == '+' ? 1 : text[14] == '-' ? 2 : 0;
  } else if (endsMinute) {
    reading.secondsOfDay += 59;
  }
  return reading;
}

TimeDaemonSample MakeSample(const SourceReading& reading, std::int64_t firstByteUtcMicros,
                            std::int64_t localShiftMicros, std::int64_t latencyMicros) {
  const std::int64_t pcUtc = firstByteUtcMicros - latencyMicros;
  const CivilTime pcLocal = FromEpochMicros(pcUtc + localShiftMicros);
  // A time past the day's end (23:59:60) is the nearest midnight's.
  const std::int64_t sourceLocal =
      ToEpochMicros(NearestWithTimeOfDay(pcLocal, reading.secondsOfDay % kSecondsPerDay));
  TimeDaemonSample sample;
  sample.pcUtcMicros = pcUtc;
  sample.offsetSeconds = static_cast<double>(sourceLocal - (pcUtc + localShiftMicros)) / 1e6;
  sample.leap = reading.leap;
  return sample;
}

}  // namespace horalign
