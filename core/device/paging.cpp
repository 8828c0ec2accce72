#include "core/device/paging.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "core/device/line_rules.h"
#include "core/device/model_table.h"

namespace horalign {
namespace {

constexpr std::int32_t kDefaultTimeoutTicks = 8;
constexpr std::int32_t kGraceTicks = 16;
constexpr int kGraceWaits = 3;
constexpr int kQueryAttempts = 3;
constexpr std::int32_t kLineDeadlineTicks = 20;
// Bytes read in one go, however many lines they make; a flood is continued at the next tick
// instead of holding the thread.
constexpr int kMaxReadsPerCall = 1025;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

QV_Paging::QV_Paging(clsSerialCommAPI& serialPort, EventLoop& loop, const std::int32_t& delayTicks)
    : serialPort_(serialPort), loop_(loop), delayTicks_(delayTicks), lineDeadline_(delayTicks) {}

bool QV_Paging::OpenPort(clsSerialCommAPI& port, std::int16_t comPortId,
                         const std::string& portSettings) {
  // Whatever the monitor was collecting belonged to the port being left.
  if (&port == &serialPort_) DropPartialLine();
  if (port.PortOpen()) port.SetPortOpen(false);
  port.SetCommPort(comPortId);
  port.SetSettings(Trim(portSettings).empty() ? "9600,N,8,1" : portSettings);
  if (!port.PortOpen()) port.SetPortOpen(true);
  // Only an open port can be purged. A pseudo-terminal keeps what came while it was
  // closed: a late answer to an earlier command, or one sent at another speed.
  port.SetInBufferCount(0);
  return true;
}

bool QV_Paging::WaitForIdleReceiver(std::int32_t limitTicks) {
  clsDelay delay(delayTicks_);
  delay.InitDelay(limitTicks);
  while (!ReceiverIdle) {
    if (delay.DelayExpired()) return false;
    loop_.Yield();
  }
  return true;
}

// Yields until the delay expires, or until *until turns true when given.
void QV_Paging::WaitTicks(clsDelay& delay, const bool* until) {
  while (!delay.DelayExpired() && !(until && *until)) loop_.Yield();
}

void QV_Paging::Transmit(const std::string& frame) {
  serialPort_.SetOutputData(frame);
}

bool QV_Paging::ProbeDevice() {
  if (!serialPort_.PortOpen()) return false;
  if (!WaitForIdleReceiver(kDefaultTimeoutTicks)) return false;
  ErrorReply = false;
  Transmit("\r");

  const std::int32_t wait = Upper(serialPort_.Settings()) == "9600,N,8,1" ? 40 : 120;
  clsDelay delay(delayTicks_);
  delay.InitDelay(wait);
  bool secondSent = false;
  while (true) {
    if (delay.DelayExpired()) {
      if (!ErrorReply) ReplyLine.clear();
      break;
    }
    if (ErrorReply) break;
    loop_.Yield();
    // At or past half the wait: a busy loop can let two ticks pass between two looks.
    if (!secondSent && delay.CurrentValue() >= wait / 2) {
      Transmit("\r");
      secondSent = true;
    }
    loop_.ProcessPending();
  }
  return IsProbeAnswer(ReplyLine);
}

bool QV_Paging::SendCommand(const std::string& command, const std::string& data, Frame frame,
                            std::int32_t timeoutTicks, std::string& reply, LineEnd end) {
  if (!WaitForIdleReceiver(15)) return false;
  ReplyComplete = false;
  if (frame == Frame::kPlain) {
    Transmit(command + data + (end == LineEnd::kCr ? "\r" : ""));
  } else {
    Transmit(command + data + "?W\r");
  }

  clsDelay delay(delayTicks_);
  delay.InitDelay(timeoutTicks == 0 ? kDefaultTimeoutTicks : timeoutTicks);
  WaitTicks(delay, &ReplyComplete);
  // Grace waits always run their full length; the flag is looked at only between them.
  for (int i = 0; i < kGraceWaits && !ReplyComplete; ++i) {
    delay.InitDelay(kGraceTicks);
    WaitTicks(delay, nullptr);
  }
  reply = ReplyLine;
  return ReplyComplete && ReplyLine == kAcknowledge;
}

std::string QV_Paging::QueryDevice(const std::string& command, const std::string& data,
                                   std::int16_t expectedLength, Frame frame,
                                   std::int32_t timeoutTicks, std::string& reply, LineEnd end,
                                   bool acceptErrorReply) {
  if (!WaitForIdleReceiver(kDefaultTimeoutTicks)) return "";
  ReplyComplete = false;
  const std::string bytes = frame == Frame::kPlain
                                ? command + data + (end == LineEnd::kCr ? "\r" : "")
                                : command + data + "?\r";
  clsDelay delay(delayTicks_);
  for (int sent = 0; sent < kQueryAttempts && !ReplyComplete; ++sent) {
    Transmit(bytes);
    delay.InitDelay(timeoutTicks == 0 ? kDefaultTimeoutTicks : timeoutTicks);
    WaitTicks(delay, &ReplyComplete);
  }
  const std::string line = ReplyLine;
  std::string result = QueryResult(line, expectedLength, ReplyComplete, acceptErrorReply);
  ReplyComplete = false;
  reply = line;
  return result;
}

std::string QV_Paging::IdentifyDevice() {
  if (!ProbeDevice()) {
    DeviceModel = kNoModel;
    DeviceKind = ModelKind::kUnknown;
    DeviceSerial = "00000";
    return "";
  }
  std::string line;
  QueryDevice("?", std::string("000") + "M", 0, Frame::kPlain, 100, line);
  if (line.empty() || line.starts_with("?99")) {
    // The device did not take the query. The answer to "P" tells nothing about the model,
    // so it gets "N/A" rather than the name of whichever device was identified before.
    DeviceSerial = "00000";
    std::string pReply;
    SendCommand("P", "", Frame::kPlain, 0, pReply);
    DeviceModel = kNoModel;
    DeviceKind = ModelKind::kUnknown;
    return line;
  }
  const Identification id = ParseIdentificationLine(line);
  DeviceModel = id.model;
  DeviceKind = id.kind;
  DeviceSerial = id.serial;
  return line;
}

void QV_Paging::DropPartialLine() {
  if (!collecting_) return;
  collecting_ = false;
  overlong_ = false;
  partial_.clear();
  // Nothing is being collected any more: senders need not wait for this line.
  ReceiverIdle = true;
}

void QV_Paging::PollSerialInput() {
  if (!serialPort_.PortOpen()) {
    DropPartialLine();
    ReplyLine.clear();
    return;
  }
  if (collecting_) return;  // the delay tick is still collecting a line
  if (serialPort_.InBufferCount() == 0) {
    ReceiverIdle = true;
    return;
  }
  Collect();
}

void QV_Paging::ContinueCollecting() {
  if (!collecting_) return;
  if (!serialPort_.PortOpen()) {
    DropPartialLine();
    return;
  }
  if (lineDeadline_.DelayExpired()) {
    // Dropped without notice; ReceiverIdle stays false until a poll finds the line quiet.
    collecting_ = false;
    overlong_ = false;
    partial_.clear();
    return;
  }
  Collect();
}

void QV_Paging::BeginLine() {
  ReceiverIdle = false;
  collecting_ = true;
  partial_.clear();
  arrival_ = {};
  lineDeadline_.InitDelay(kLineDeadlineTicks);
}

void QV_Paging::Collect() {
  std::int64_t readUs = 0;
  std::int32_t waiting = 0;
  if (ArrivalClock) readUs = ArrivalClock();
  if (readUs != 0) waiting = serialPort_.InBufferCount();
  for (int i = 0; i < kMaxReadsPerCall; ++i) {
    const std::string c = serialPort_.InputData(1);
    if (c.empty()) return;
    if (!collecting_) {
      BeginLine();
      // A first byte that came in after the count was taken arrived about as it was read.
      if (readUs != 0) arrival_ = {readUs, waiting > i ? waiting - i : 1};
    }
    if (overlong_) {
      // The rest of a line too long to be a device's goes with it, up to its CR.
      if (c[0] == kCR) {
        collecting_ = false;
        overlong_ = false;
        ReceiverIdle = true;
      }
      continue;
    }
    partial_ += c;
    if (c[0] == kCR) {
      collecting_ = false;
      ReplyLine = std::move(partial_);
      partial_.clear();
      ++linesReceived_;
      lastArrival_ = std::exchange(arrival_, LineArrival{});
      ReceiverIdle = true;
      // A line that raises a flag may be the answer a sender waits for: the sender must
      // find it in ReplyLine, so later lines wait for the next poll.
      const bool answer = (!ReplyComplete && IsCompleteReply(ReplyLine)) ||
                          (!ErrorReply && IsErrorReply(ReplyLine));
      const std::string line = ReplyLine;  // the handler may start an exchange that resets it
      HandleDeviceLine(line);
      if (answer) return;
      continue;
    }
    if (partial_.size() >= kMaxLineLength) {
      // No device line is this long: it is noise. Its tail is dropped too, or it would
      // pass for a line of its own (even a complete reply) at the next poll.
      partial_.clear();
      overlong_ = true;
    }
  }
}

void QV_Paging::HandleDeviceLine(const std::string& line) {
  if (IsCompleteReply(line)) ReplyComplete = true;
  if (IsErrorReply(line)) ErrorReply = true;
  if (DeviceKind == ModelKind::kReceiver && IsReceiverTimeLine(line) && OnReceiverTimeLine) {
    OnReceiverTimeLine(static_cast<std::int16_t>(serialPort_.CommPort()), line);
  }
}

}  // namespace horalign
