#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/device/model_table.h"
#include "core/platform/event_loop.h"
#include "core/serial/delay.h"
#include "core/serial/serial_comm.h"

namespace horalign {

// The device protocol over the one shared serial port: the exchange routines, the
// identification, and the port monitor that reads every device line.
//
// The monitor never yields in the middle of a line. A poll takes what has arrived (up to a
// bound): every complete line in order, the latest left in ReplyLine, except that it stops
// after a line that raised ReplyComplete or ErrorReply, which the waiting sender must still
// find there. A line still open keeps its 20-tick deadline and is continued at the next
// delay tick. Waiting senders therefore never run inside a suspended poll, and a poll never
// resumes on a port that was reopened meanwhile.
// How a frame is built: a plain frame is the command and its data; a marked one ends in the
// mark the UTC family expects ("?W" after a command, "?" after a query) and a CR.
enum class Frame { kMarked, kPlain };
// Whether a plain frame ends in CR.
enum class LineEnd { kCr, kNone };

// When the monitor read the chunk that held a line's first byte, and how many of the line's
// bytes had arrived by then (from its first to the last waiting).
struct LineArrival {
  std::int64_t readUtcMicros = 0;  // 0: not stamped
  std::int32_t bytesFromFirst = 0;
};

class QV_Paging {
 public:
  QV_Paging(clsSerialCommAPI& serialPort, EventLoop& loop, const std::int32_t& delayTicks);
  // The tick counter is kept by reference: a temporary would dangle.
  QV_Paging(clsSerialCommAPI&, EventLoop&, const std::int32_t&&) = delete;

  // Link state, written by the monitor and reset by the exchange routines.
  std::string ReplyLine;
  bool ReceiverIdle = true;
  bool ReplyComplete = false;
  bool ErrorReply = false;

  // The device identified last.
  std::string DeviceModel;
  std::string DeviceSerial;
  ModelKind DeviceKind = ModelKind::kUnknown;

  // Receives the time lines a receiver sends of its own accord (port number, line); the
  // subscriber decides whether the current mode wants them.
  std::function<void(std::int16_t, const std::string&)> OnReceiverTimeLine;

  bool OpenPort(clsSerialCommAPI& port, std::int16_t comPortId, const std::string& portSettings);
  bool ProbeDevice();
  bool SendCommand(const std::string& command, const std::string& data, Frame frame,
                   std::int32_t timeoutTicks, std::string& reply, LineEnd end = LineEnd::kCr);
  std::string QueryDevice(const std::string& command, const std::string& data,
                          std::int16_t expectedLength, Frame frame, std::int32_t timeoutTicks,
                          std::string& reply, LineEnd end = LineEnd::kCr,
                          bool acceptErrorReply = false);
  std::string IdentifyDevice();
  // Yields until the monitor is between lines; false when it is not within `limitTicks`.
  bool WaitForIdleReceiver(std::int32_t limitTicks);

  // The 500 ms monitor tick.
  void PollSerialInput();
  // The 50 ms delay tick: goes on collecting a line that a poll began.
  void ContinueCollecting();
  void HandleDeviceLine(const std::string& line);

  // Counts the complete lines the monitor has taken, so a caller can tell a line that
  // arrived during its exchange from one left over from an earlier one.
  std::uint64_t LinesReceived() const { return linesReceived_; }
  bool Collecting() const { return collecting_; }

  // Set, every read is stamped with this clock (UTC microseconds) and each line's arrival
  // kept; unset or answering 0, reads are not stamped. For the time daemon's samples.
  std::function<std::int64_t()> ArrivalClock;
  // The arrival of the line handed on last (to HandleDeviceLine).
  const LineArrival& LastArrival() const { return lastArrival_; }

  // Longest line the monitor collects; anything longer is noise and is dropped whole.
  static constexpr std::size_t kMaxLineLength = 4096;

 private:
  void WaitTicks(clsDelay& delay, const bool* until);
  void BeginLine();
  void Collect();
  void DropPartialLine();
  void Transmit(const std::string& frame);

  clsSerialCommAPI& serialPort_;
  EventLoop& loop_;
  const std::int32_t& delayTicks_;

  bool collecting_ = false;
  bool overlong_ = false;  // the line passed kMaxLineLength: read on to its CR, keep nothing
  std::string partial_;
  clsDelay lineDeadline_;
  std::uint64_t linesReceived_ = 0;
  LineArrival arrival_;  // of the line being collected
  LineArrival lastArrival_;
};

}  // namespace horalign
