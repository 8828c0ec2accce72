#include "sim/sim_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "core/util/civil.h"

namespace horalign::sim {

namespace {

constexpr std::size_t kMaxLine = 256;  // a longer command keeps only its start
constexpr std::int64_t kSevenHoursUs = 7LL * 3600 * 1'000'000;

bool OneOf(char letter, std::string_view letters) {
  return letter != kNoLetter && letters.find(letter) != std::string_view::npos;
}

// The decimal value of text made only of digits, else -1.
int Digits(std::string_view text) {
  if (text.empty()) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string WithoutCr(std::string line) {
  line.pop_back();
  return line;
}

void Append2(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

}  // namespace

bool LetterKeepsUtc(char letter) {
  return OneOf(letter, "JMNOQRWXZ");
}
bool LetterAnswersTimeQuery(char letter) {
  return OneOf(letter, "JKMNOQRTVWXZ");
}
bool LetterIsReceiver(char letter) {
  return letter == kNoLetter || letter == 'V';
}

SimDevice::SimDevice(VirtualTime& time, VirtualClock& clock, SimDeviceConfig config)
    : time_(time),
      clock_(clock),
      config_(std::move(config)),
      tx_(time, [this](std::uint8_t b, std::int64_t startUs, std::int64_t endUs) {
        if (output_) output_(b, startUs, endUs);
      }) {
  (void)Line();  // a settings text the device cannot speak is a test bug; fail at once
  const bool utc = config_.keepsUtc.value_or(LetterKeepsUtc(config_.letter));
  anchorVirtualUs_ = time_.NowUs();
  anchorDeviceUs_ = clock_.TrueUtcEpochMicros() +
                    (utc ? 0 : std::int64_t{clock_.LocalOffsetMinutes()} * 60'000'000) +
                    std::llround(config_.clockOffsetSeconds * 1e6);
  driftPpm_ = config_.driftPpm;
  if (config_.eventsAfterSeconds > 0) {
    nextEvent_ = time_.After(std::llround(config_.eventsAfterSeconds * 1e6), [this] {
      nextEvent_ = {};
      RestartEvents();
    });
  } else {
    RestartEvents();
  }
}

SimDevice::~SimDevice() {
  if (destroyHook_) destroyHook_();
  for (EventId& id : pendingReplies_) time_.Cancel(id);
  time_.Cancel(nextEvent_);
}

LineSettings SimDevice::Line() const {
  const std::optional<LineSettings> line = ParseLineSettings(config_.settings);
  if (!line) {
    std::fprintf(stderr, "SimDevice: cannot speak \"%s\"\n", config_.settings.c_str());
    std::abort();
  }
  return *line;
}

std::int64_t SimDevice::ClockEpochUs() const {
  const std::int64_t elapsed = time_.NowUs() - anchorVirtualUs_;
  return anchorDeviceUs_ + elapsed + std::llround(static_cast<double>(elapsed) * driftPpm_ * 1e-6);
}

CivilTime SimDevice::ClockNow() const {
  return FromEpochMicros(ClockEpochUs());
}

void SimDevice::SetClock(const CivilTime& value) {
  anchorVirtualUs_ = time_.NowUs();
  anchorDeviceUs_ = ToEpochMicros(value);
}

void SimDevice::Step(double deltaSeconds) {
  const std::int64_t now = ClockEpochUs();
  anchorVirtualUs_ = time_.NowUs();
  anchorDeviceUs_ = now + std::llround(deltaSeconds * 1e6);
}

void SimDevice::Hear(std::uint8_t byte, bool garbled) {
  if (garbled) {
    ++garbageHeard_;
    line_.clear();
    return;
  }
  if (byte != '\r') {
    if (line_.size() < kMaxLine) line_ += static_cast<char>(byte);
    return;
  }
  const std::string command = std::exchange(line_, std::string());
  commands_.push_back({time_.NowUs(), command});
  if (config_.silent || (command == "QT" && config_.timeReply == "")) return;
  Reply(command, Answer(command));
}

std::string SimDevice::Answer(std::string_view command) {
  // A lone CR is the probe, not a command: a wrong-reply device still passes it.
  if (config_.fixedReply && !command.empty()) return *config_.fixedReply;
  if (config_.letter == kNoLetter) return "?";
  if (command == "?000M") return WithoutCr(IdentificationLine());
  if (command == "P") return "*";
  if (command == "QT" && config_.timeReply) return *config_.timeReply;
  if (command == "QT")
    return LetterAnswersTimeQuery(config_.letter) ? WithoutCr(TimeReply()) : "?99";
  if (command.starts_with("PT")) return SetTimeOfDay(command, command.substr(2));
  if (command.starts_with("PD")) return SetDate(command, command.substr(2));
  if (command.starts_with("T") && LetterKeepsUtc(config_.letter)) return SetUtc(command);
  return "?99";
}

std::string SimDevice::SetTimeOfDay(std::string_view command, std::string_view digits) {
  if (digits.size() != 6 && digits.size() != 4) return "?99";
  if (digits.size() == 6 && config_.refuseLongPt) return "?99";
  const int h = Digits(digits.substr(0, 2));
  const int m = Digits(digits.substr(2, 2));
  const int s = digits.size() == 6 ? Digits(digits.substr(4, 2)) : 0;
  if (!IsValidTimeOfDay(h, m, s)) return "?99";
  CivilTime t = ClockNow();
  t.hour = h;
  t.minute = m;
  t.second = s;
  t.micro = 0;
  SetClock(t);
  Logged(command);
  return "*";
}

std::string SimDevice::SetDate(std::string_view command, std::string_view digits) {
  if (config_.refusePd || digits.size() != 7) return "?99";
  const int month = Digits(digits.substr(0, 2));
  const int day = Digits(digits.substr(2, 2));
  const int yy = Digits(digits.substr(4, 2));
  const int weekday = Digits(digits.substr(6, 1));
  if (yy < 0 || weekday < 1 || weekday > 7 || !IsValidDate(2000 + yy, month, day)) return "?99";
  CivilTime t = ClockNow();
  t.year = 2000 + yy;
  t.month = month;
  t.day = day;
  SetClock(t);
  Logged(command);
  return "*";
}

// "T" hhmmss MMDDYY "U?W": the whole clock at once.
std::string SimDevice::SetUtc(std::string_view command) {
  if (command.size() != 16 || !command.ends_with("U?W")) return "?99";
  const std::string_view d = command.substr(1, 12);
  CivilTime t;
  t.hour = Digits(d.substr(0, 2));
  t.minute = Digits(d.substr(2, 2));
  t.second = Digits(d.substr(4, 2));
  t.month = Digits(d.substr(6, 2));
  t.day = Digits(d.substr(8, 2));
  const int yy = Digits(d.substr(10, 2));
  t.year = 2000 + yy;
  if (yy < 0 || !IsValidTimeOfDay(t.hour, t.minute, t.second) ||
      !IsValidDate(t.year, t.month, t.day)) {
    return "?99";
  }
  SetClock(t);
  Logged(command);
  return "*";
}

void SimDevice::Logged(std::string_view command) {
  clockSets_.push_back({time_.NowUs(), std::string(command), ClockNow()});
}

std::string SimDevice::IdentificationLine() const {
  if (config_.letter == kNoLetter) return "?\r";
  std::string line(config_.serial.rbegin(), config_.serial.rend());
  line += config_.letter;
  line += config_.idTail;
  line += '\r';
  return line;
}

// hhmmss MMDDYY, the weekday digit (1 = Sunday), then the sum of those 13 digits mod 10.
std::string SimDevice::TimeReply() const {
  const CivilTime t = ClockNow();
  std::string text;
  for (int v : {t.hour, t.minute, t.second, t.month, t.day, t.year % 100}) Append2(text, v);
  text += static_cast<char>('0' + t.weekday);
  int sum = 0;
  for (char c : text) sum += c - '0';
  text += static_cast<char>('0' + sum % 10);
  text += '\r';
  return text;
}

// Part number, hour and minute of the clock plus 7 hours, their digit sum mod 10.
std::string SimDevice::TimeEvent() const {
  const CivilTime t = FromEpochMicros(ClockEpochUs() + kSevenHoursUs);
  std::string digits;
  Append2(digits, t.hour);
  Append2(digits, t.minute);
  int sum = 0;
  for (char c : digits) sum += c - '0';
  std::string text = config_.partNumber + digits;
  text += static_cast<char>('0' + sum % 10);
  if (config_.eventsOnTime) {
    Append2(text, t.second);
    text += '0';  // no leap second announced
  }
  text += config_.eventTail;
  text += '\r';
  return text;
}

std::int64_t SimDevice::Transmit(std::string_view bytes) {
  tx_.SetLine(Line());
  return tx_.Send(bytes);
}

void SimDevice::Reply(const std::string& command, std::string text) {
  std::string bytes = config_.garbageBeforeReply + text;
  if (!config_.missingCr) bytes += '\r';
  std::erase_if(pendingReplies_, [this](const EventId& id) { return !time_.Pending(id); });
  pendingReplies_.push_back(time_.After(
      config_.replyDelayUs, [this, causeUs = time_.NowUs(), command, bytes = std::move(bytes)] {
        sent_.push_back({causeUs, command, bytes, Transmit(bytes)});
      }));
}

void SimDevice::SendRaw(std::string_view bytes) {
  Transmit(bytes);
}

void SimDevice::Flood(std::int64_t durationUs, std::string_view pattern) {
  if (pattern.empty() || durationUs <= 0) return;
  const LineSettings line = Line();
  const std::int64_t count = durationUs * line.baud / (BitsPerByte(line) * std::int64_t{1'000'000});
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i)
    bytes += pattern[static_cast<std::size_t>(i) % pattern.size()];
  Transmit(bytes);
}

void SimDevice::RestartEvents() {
  time_.Cancel(nextEvent_);
  if (!LetterIsReceiver(config_.letter)) return;
  const int every = config_.eventEverySeconds.value_or(60);
  if (every <= 0) return;
  const std::int64_t periodUs = std::int64_t{every} * 1'000'000;
  std::int64_t waitUs = periodUs;
  if (config_.eventsOnTime) {
    // To the clock's next whole period, as the drifting clock counts it.
    const std::int64_t clockUs = ClockEpochUs() + kSevenHoursUs;
    const std::int64_t ahead = periodUs - ((clockUs % periodUs) + periodUs) % periodUs;
    waitUs =
        static_cast<std::int64_t>(std::ceil(static_cast<double>(ahead) / (1 + driftPpm_ * 1e-6)));
    if (waitUs <= 0) waitUs = periodUs;
  }
  nextEvent_ = time_.After(waitUs, [this] { OnEvent(); });
}

void SimDevice::OnEvent() {
  nextEvent_ = {};
  ++eventsSent_;
  const std::string text = TimeEvent();
  sent_.push_back({time_.NowUs(), "", text, Transmit(text)});
  RestartEvents();
}

}  // namespace horalign::sim
