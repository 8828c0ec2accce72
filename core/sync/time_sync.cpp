#include "core/sync/time_sync.h"

#include <cstdlib>
#include <functional>

#include "core/device/model_table.h"
#include "core/sync/feed_sample.h"
#include "core/sync/history_note.h"
#include "core/sync/read_back.h"
#include "core/util/civil.h"

namespace horalign {
namespace {

constexpr std::int32_t kWriteTimeoutTicks = 100;
constexpr std::int32_t kQueryTimeoutTicks = 30;
// As long as a command waits for the receiver to finish a line.
constexpr std::int32_t kIdleReceiverTicks = 15;
constexpr int kTimeCommandTries = 3;
constexpr int kSecondsPerDay = 86400;
// The wait for a second boundary aims 1 ms past it and accepts up to 3 ms past it; after a
// sleep that woke late it accepts up to 90 ms, which leaves the command time to start
// inside the first 100 ms.
constexpr int kBoundaryTargetMicros = 1000;
constexpr int kBoundaryAcceptMicros = 3000;
constexpr int kLateAcceptMicros = 90'000;
// A boundary is at most a second away: these bounds allow a few misses, then give up.
constexpr std::int64_t kMaxSleepMicros = 3'000'000;
constexpr int kMaxSleeps = 12;

std::string TwoDigitText(int n) {
  return ZeroPad(n % 100, 2);
}

int SecondsOfDay(const CivilTime& t) {
  return t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

int TwoDigits(const std::string& text, std::size_t pos) {
  if (pos + 2 > text.size()) return -1;
  const char a = text[pos], b = text[pos + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

int CheckDigitSum(const std::string& text, std::size_t first, std::size_t last) {
  int sum = 0;
  for (std::size_t i = first; i <= last && i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') sum += text[i] - '0';
  }
  return sum % 10;
}

int NearestCentury(int yy, int referenceYear) {
  int year = referenceYear - referenceYear % 100 + yy;
  if (year - referenceYear > 50) year -= 100;
  if (referenceYear - year > 50) year += 100;
  return year;
}

CivilTime NearestWithTimeOfDay(const CivilTime& now, int secondsOfDay) {
  const std::int64_t nowUs = ToEpochMicros(now);
  const std::int64_t dayStart = DaysFromCivil(now.year, now.month, now.day) * 86'400'000'000LL;
  std::int64_t best = 0;
  for (int dayOffset = -1; dayOffset <= 1; ++dayOffset) {
    const std::int64_t candidate =
        dayStart + dayOffset * 86'400'000'000LL + secondsOfDay * 1'000'000LL;
    if (dayOffset == -1 || std::llabs(candidate - nowUs) < std::llabs(best - nowUs)) {
      best = candidate;
    }
  }
  return FromEpochMicros(best);
}

bool SleepToSecondStart(Clock& clock) {
  std::int64_t slept = 0;
  for (int sleeps = 0;; ++sleeps) {
    const CivilTime t = clock.UtcNow();
    const int accept = sleeps == 0 ? kBoundaryAcceptMicros : kLateAcceptMicros;
    if (t.micro >= kBoundaryTargetMicros && t.micro < accept) return true;
    const int wait = t.micro < kBoundaryTargetMicros ? kBoundaryTargetMicros - t.micro
                                                     : 1'000'000 - t.micro + kBoundaryTargetMicros;
    if (sleeps == kMaxSleeps || slept + wait > kMaxSleepMicros) return false;
    clock.SleepMicros(wait);
    slept += wait;
  }
}

bool TimeSync::WaitForSecondStart() {
  if (!SleepToSecondStart(parts_.clock)) return false;
  host_.RestartClockDisplay();
  return true;
}

// A time command must leave as its second begins, with that second's time. Were the
// receiver in the middle of a line, SendCommand would wait for it and send a time gone stale,
// so the receiver is waited for first; the wait for the boundary yields nothing, so it cannot
// begin a line meanwhile. Should it all the same, the next second is tried.
bool TimeSync::WaitForTimeCommandStart() {
  for (int i = 0; i < kTimeCommandTries; ++i) {
    if (!parts_.paging.WaitForIdleReceiver(kIdleReceiverTicks)) return false;
    if (!WaitForSecondStart()) return false;
    if (parts_.paging.ReceiverIdle) return true;
  }
  return false;
}

// The clock is read once the receiver is idle, so the command carries the time it leaves at.
bool TimeSync::SendWithTimeNow(const std::string& command,
                               const std::function<std::string(const CivilTime&)>& data) {
  if (!parts_.paging.WaitForIdleReceiver(kIdleReceiverTicks)) return false;
  std::string reply;
  return parts_.paging.SendCommand(command, data(parts_.clock.LocalNow()), Frame::kPlain,
                                   kWriteTimeoutTicks, reply);
}

bool TimeSync::WriteUtcFamily(int row) {
  if (!WaitForTimeCommandStart()) return false;
  const CivilTime t = parts_.clock.UtcNow();
  timeCommandMs_ = t.Millisecond();
  const std::string data = TwoDigitText(t.hour) + TwoDigitText(t.minute) + TwoDigitText(t.second) +
                           TwoDigitText(t.month) + TwoDigitText(t.day) + TwoDigitText(t.year) + "U";
  // Written after the clock is read, so it cannot delay the command.
  host_.SetStatus(row, "Writing date & time to device...");
  std::string reply;
  return parts_.paging.SendCommand("T", data, Frame::kMarked, kWriteTimeoutTicks, reply);
}

bool TimeSync::WriteLocalFamily() {
  if (!WaitForTimeCommandStart()) return false;
  std::string reply;
  const CivilTime t = parts_.clock.LocalNow();
  timeCommandMs_ = t.Millisecond();
  bool timeSet = parts_.paging.SendCommand(
      "PT", TwoDigitText(t.hour) + TwoDigitText(t.minute) + TwoDigitText(t.second), Frame::kPlain,
      kWriteTimeoutTicks, reply);
  if (!timeSet) {
    timeSet = SendWithTimeNow("PT", [](const CivilTime& now) {
      return TwoDigitText(now.hour) + TwoDigitText(now.minute);
    });
  }
  if (timeSet) {
    // The date is a courtesy: the device counts as updated once its time was taken.
    SendWithTimeNow("PD", [](const CivilTime& now) {
      return TwoDigitText(now.month) + TwoDigitText(now.day) + TwoDigitText(now.year) +
             std::to_string(now.weekday);
    });
  }
  return timeSet;
}

bool TimeSync::WriteFamily(int row) {
  return SupportsUtcTimeSet(host_.Port(row).kind) ? WriteUtcFamily(row) : WriteLocalFamily();
}

// Reads the device's time (its offset from the PC's) and reports it. Read just before a
// write, the offset is the drift since the last write; just after, the offset the write
// left. A read that fails leaves the write's outcome as it is: it is only reported.
void TimeSync::ReadBackAround(int row, const PortDevice& device, bool beforeWrite) {
  const ReadBack read =
      MeasureDeviceOffset(parts_.clock, parts_.loop, parts_.paging, parts_.serialPort,
                          SupportsUtcTimeSet(device.kind), readBacks_++);
  HistoryEntry entry;
  entry.utcMs = ToEpochMicros(parts_.clock.UtcNow()) / 1000;
  entry.port = row;
  entry.model = device.model;
  entry.serial = device.serial;
  entry.action = HistoryAction::kRead;
  entry.ok = read.offsetSeconds.has_value();
  entry.status = ReadBackText(read.failure);
  if (!read.offsetSeconds) {
    drift_.Forget(device.model, device.serial);
  } else if (beforeWrite) {
    entry.offsetBefore = read.offsetSeconds;
    entry.driftPerDay =
        drift_.ReadBeforeWrite(device.model, device.serial, entry.utcMs, *read.offsetSeconds);
  } else {
    entry.offsetAfter = read.offsetSeconds;
    drift_.ReadAfterWrite(device.model, device.serial, entry.utcMs, *read.offsetSeconds);
  }
  if (parts_.history) parts_.history->Append(entry);
}

bool TimeSync::WriteTime(std::int16_t port, bool readBack, PushCause cause) {
  const MinuteTimerPause pause(host_);
  host_.BusyPointerOn();
  const int row = port;
  timeCommandMs_ = -1;
  bool connected = true;
  if (!host_.Port(row).detected) connected = connection_.ConnectDevice(port);

  bool outcome = false;
  std::string status = connection_.LastStatus();
  if (connected) {
    if (parts_.paging.OpenPort(parts_.serialPort, port, host_.Port(row).settings)) {
      const PortDevice device = host_.Port(row);
      const bool verify = readBack && SupportsTimeQuery(device.kind);
      if (verify) ReadBackAround(row, device, true);
      outcome = WriteFamily(row);
      // Whatever the device took of the write, its clock no longer shows the drift since the
      // write before.
      drift_.Forget(device.model, device.serial);
      if (verify) ReadBackAround(row, device, false);
    }
    status = outcome ? "Device updated successfully." : "Error updating device.";
    host_.SetStatus(row, status);
  }
  host_.StampStatusTime(row);
  HistoryEntry entry = HistoryEntryNow(
      parts_, row, cause == PushCause::kNone ? HistoryAction::kWrite : HistoryAction::kPush,
      outcome, status);
  entry.cause = cause;
  entry.msPastSecond = timeCommandMs_;
  NoteHistory(parts_, entry);
  host_.BusyPointerOff();
  return outcome;
}

bool TimeSync::ReadTime(std::int16_t comPortId) {
  const MinuteTimerPause pause(host_);
  host_.BusyPointerOn();
  const int row = comPortId;
  bool result = false;
  bool connected = true;
  if (!host_.Port(row).detected) connected = connection_.ConnectDevice(comPortId);
  if (connected && parts_.paging.OpenPort(parts_.serialPort, comPortId, host_.Port(row).settings) &&
      SupportsTimeQuery(host_.Port(row).kind)) {
    skipTimeEvent_ = false;
    host_.SetStatus(row, "Reading date & time from device...");
    const std::uint64_t linesBefore = parts_.paging.LinesReceived();
    std::string reply;
    parts_.paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, reply);
    // Only a line that arrived during this query is an answer: a device that stopped
    // answering must not replay its last time.
    if (parts_.paging.LinesReceived() == linesBefore) reply.clear();
    result = ProcessTime(comPortId, reply);
  }
  host_.BusyPointerOff();
  return result;
}

TimeSync::Outcome TimeSync::Apply(const CivilTime& target) {
  switch (parts_.clock.SetLocal(target)) {
    case ClockSetResult::kOk:
      return Outcome::kAccepted;
    case ClockSetResult::kNoRight:
      return Outcome::kNoRight;
    case ClockSetResult::kAutoSyncOn:
      return Outcome::kAutoSyncOn;
    case ClockSetResult::kFailed:
      return Outcome::kRejected;
  }
  return Outcome::kRejected;
}

TimeSync::Outcome TimeSync::Settle(const ClockDecision& decision) {
  if (!decision.accepted) return Outcome::kRejected;
  return decision.target ? Apply(*decision.target) : Outcome::kAccepted;
}

std::optional<int> QtReplySecondsOfDay(const std::string& text) {
  if (text.size() != 15) return std::nullopt;
  const int check = text[13] >= '0' && text[13] <= '9' ? text[13] - '0' : 0;
  if (CheckDigitSum(text, 0, 12) != check) return std::nullopt;
  const int hour = TwoDigits(text, 0), minute = TwoDigits(text, 2), second = TwoDigits(text, 4);
  if (!IsValidTimeOfDay(hour, minute, second)) return std::nullopt;
  return hour * 3600 + minute * 60 + second;
}

ClockDecision DecideQtReply(const std::string& text, const CivilTime& now) {
  const std::optional<int> seconds = QtReplySecondsOfDay(text);
  if (!seconds) return {};

  CivilTime target = now;
  bool change = false;
  if (SecondsOfDay(now) != *seconds) {
    target.hour = *seconds / 3600, target.minute = *seconds / 60 % 60,
    target.second = *seconds % 60;
    target.micro = 0;
    change = true;
  }
  // Some time-readable devices keep no calendar: an invalid date is skipped.
  const int month = TwoDigits(text, 6), day = TwoDigits(text, 8), yy = TwoDigits(text, 10);
  const int year = yy < 0 ? -1 : NearestCentury(yy, now.year);
  if (IsValidDate(year, month, day) && (year != now.year || month != now.month || day != now.day)) {
    target.year = year, target.month = month, target.day = day;
    change = true;
  }
  if (!change) return {true, std::nullopt};
  return {true, target};
}

ClockDecision DecideReceiverEvent(const std::string& text, const CivilTime& now) {
  if (text.size() < 12) return {};
  const std::string part = text.substr(0, 7);
  const bool branchA = part == "0371462" || part == "0371438";
  const bool branchB = part == "0371461" || part == "0371437";
  if (!branchA && !branchB) return {};
  const int check = text[11] >= '0' && text[11] <= '9' ? text[11] - '0' : 0;
  if (CheckDigitSum(text, 7, 10) != check) return {};
  const int hour = TwoDigits(text, 7), minute = TwoDigits(text, 9);
  if (!IsValidTimeOfDay(hour, minute, 0)) return {};

  // Receivers run 7 hours ahead of the local time the program sets.
  const int raw = hour * 3600 + minute * 60 - 7 * 3600;
  int target = (raw % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
  // Branch B takes a time before 07:00 for one on the previous day, which differs from
  // every time of day; branch A wraps it and compares it as it is.
  const bool differs = (branchB && raw < 0) || target != SecondsOfDay(now);
  if (!differs) return {true, std::nullopt};
  if (branchB) target = (target + 59) % kSecondsPerDay;
  // The instant nearest the present, so a correction across midnight keeps the date right.
  return {true, NearestWithTimeOfDay(now, target)};
}

// Every reading becomes a sample: the daemon weighs them, so none is held back for the end
// of the interval, and none goes into the history.
bool TimeSync::FeedTime(int row, ModelKind device, const std::string& text) {
  const BusyScope busy(host_);
  skipTimeEvent_ = false;
  std::optional<SourceReading> reading;
  if (SupportsTimeQuery(device)) {
    if (const std::optional<int> seconds = QtReplySecondsOfDay(text)) reading = {*seconds, 0};
  } else if (device == ModelKind::kReceiver || device == ModelKind::kUnknown) {
    reading = ReadReceiverEvent(text);
  }
  const LineArrival arrival = parts_.paging.LastArrival();
  bool sent = false;
  if (reading && arrival.readUtcMicros != 0) {
    const LineSettings line =
        ParseLineSettings(parts_.serialPort.Settings()).value_or(LineSettings{});
    // Whole minutes: the two reads of the clock lie a few microseconds apart.
    const std::int64_t shift =
        ToEpochMicros(parts_.clock.LocalNow()) - ToEpochMicros(parts_.clock.UtcNow());
    const std::int64_t minutes = (shift + (shift < 0 ? -30'000'000 : 30'000'000)) / 60'000'000;
    // No model documents a delay between the instant it names and its first byte.
    const TimeDaemonSample sample =
        MakeSample(*reading, FirstByteUtcMicros(arrival, line), minutes * 60'000'000, 0);
    sent = parts_.feed->Send(sample) == FeedResult::kSent;
    ++(sent ? feedCounts_.sent : feedCounts_.refused);
    host_.SetStatus(row, sent ? kFeedSentText : kFeedNotTakenText);
    if (device == ModelKind::kUnknown)
      host_.SetDeviceModel(row, kReceiverModel, ModelKind::kReceiver);
  } else {
    host_.SetStatus(row, "Error reading device.");
  }
  host_.StampStatusTime(row);
  return sent;
}

bool TimeSync::ProcessTime(std::int16_t comPortId, const std::string& timeEventInfo) {
  const int row = comPortId;
  const ModelKind device = host_.Port(row).kind;
  if (Feeding()) return FeedTime(row, device, timeEventInfo);
  Outcome outcome = Outcome::kRejected;
  std::optional<MinuteTimerPause> pause;
  if (SupportsTimeQuery(device)) {
    pause.emplace(host_);
    host_.BusyPointerOn();
    skipTimeEvent_ = false;
    host_.SetStatus(row, "Reading date & time from device...");
    outcome = Settle(DecideQtReply(timeEventInfo, parts_.clock.LocalNow()));
  } else if (device == ModelKind::kReceiver || device == ModelKind::kUnknown) {
    // Receiver events count only in the last two minutes of each update interval.
    if (host_.MinuteCount() < parts_.config.UpdateInterval - 2) {
      skipTimeEvent_ = true;
      return false;
    }
    skipTimeEvent_ = false;
    pause.emplace(host_);
    host_.BusyPointerOn();
    outcome = Settle(DecideReceiverEvent(timeEventInfo, parts_.clock.LocalNow()));
    if (outcome == Outcome::kAccepted && device == ModelKind::kUnknown) {
      host_.SetDeviceModel(row, kReceiverModel, ModelKind::kReceiver);
    }
  }
  const bool result = outcome == Outcome::kAccepted;
  if (!skipTimeEvent_) {
    const bool refused = outcome == Outcome::kNoRight || outcome == Outcome::kAutoSyncOn;
    const std::string status = result                            ? "PC updated successfully."
                               : outcome == Outcome::kNoRight    ? kNoRightText
                               : outcome == Outcome::kAutoSyncOn ? kAutoSyncOnText
                                                                 : "Error reading device.";
    host_.SetStatus(row, status);
    host_.StampStatusTime(row);
    host_.BusyPointerOff();
    NoteHistory(parts_, HistoryEntryNow(parts_, row,
                                        result    ? HistoryAction::kSetPcClock
                                        : refused ? HistoryAction::kRefusal
                                                  : HistoryAction::kRead,
                                        result, status));
  }
  return result;
}

}  // namespace horalign
