#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/serial_backend.h"

namespace horalign {

// The port object: one COM port at a time behind a port number, a settings text, an
// open/closed switch, reads of what has arrived and writes of a text. Every failure, and
// every call on a closed port, gives a neutral result (false, "", 0); nothing throws.
class clsSerialCommAPI {
 public:
  // Bytes one InputData call can return: the size of the read buffer.
  static constexpr int kReadBufferSize = 1025;
  // The write buffer holds the text and a terminating 0, so texts up to 4096 characters.
  static constexpr int kWriteBufferSize = 4097;
  static constexpr std::size_t kMaxOutputLength = kWriteBufferSize - 1;
  // Read time-outs that make every read return at once with what has arrived.
  static constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
  static constexpr std::uint32_t kWriteConstantMs = 5;

  explicit clsSerialCommAPI(SerialBackend& backend) : backend_(backend) {}
  ~clsSerialCommAPI();
  clsSerialCommAPI(const clsSerialCommAPI&) = delete;
  clsSerialCommAPI& operator=(const clsSerialCommAPI&) = delete;

  // Milliseconds per byte of the write time-out: the time of one byte at the baud rate
  // before the first comma, plus 0.5 ms, rounded to whole ms, plus 1 (2 at 9600). A text
  // without a comma gives 28. nullopt when the baud rate is zero or not a number.
  static std::optional<std::uint32_t> WriteMultiplierMs(std::string_view settings);

  // Stored as a 16-bit number; takes effect at the next open.
  std::int32_t CommPort() const { return commPort_; }
  void SetCommPort(std::int32_t port) { commPort_ = static_cast<std::int16_t>(port); }

  // Takes effect at the next open.
  const std::string& Settings() const { return settings_; }
  void SetSettings(std::string settings) { settings_ = std::move(settings); }

  // true opens CommPort with Settings (an open port is closed first); false closes the
  // port and puts its earlier time-outs back.
  bool PortOpen() const { return handle_ > 0; }
  void SetPortOpen(bool open);

  // Up to `bytesToReadCount` bytes (at most kReadBufferSize) that have already arrived.
  std::string InputData(std::int32_t bytesToReadCount);

  // Sends the text and waits until it has left the PC. An empty text, or one longer than
  // kMaxOutputLength, sends nothing.
  void SetOutputData(std::string_view text);

  // Bytes waiting in the receive queue. Setting 0 discards them; other values do nothing.
  std::int32_t InBufferCount();
  void SetInBufferCount(std::int32_t count);

  // The value last stored. Setting 0 discards the transmit queue; other values do nothing.
  std::int32_t OutBufferCount() const { return outBufferCount_; }
  void SetOutBufferCount(std::int32_t count);

  const std::string& LastInput() const { return lastInput_; }
  const std::string& LastOutput() const { return lastOutput_; }

 private:
  void Close();

  SerialBackend& backend_;
  CommTimeouts savedTimeouts_;
  CommHandle handle_ = 0;
  std::int16_t commPort_ = 0;
  std::string settings_;
  std::int32_t outBufferCount_ = 0;
  std::string lastInput_;
  std::string lastOutput_;
};

}  // namespace horalign
