#include "core/serial/serial_comm.h"

#include <algorithm>
#include <utility>

#include "core/serial/line_settings.h"

namespace horalign {

clsSerialCommAPI::~clsSerialCommAPI() {
  Close();
}

std::optional<std::uint32_t> clsSerialCommAPI::WriteMultiplierMs(std::string_view settings) {
  const auto comma = settings.find(',');
  if (comma == std::string_view::npos) return 28;
  // Only the baud rate matters here; the line settings parser reads it alone.
  const auto parsed = ParseLineSettings(settings.substr(0, comma));
  if (!parsed) return std::nullopt;

  // round(8 / b + 0.0005, 3 decimals) * 1000 in integers: the nearest whole number to
  // (16000 + b) / (2b), halves to even as the platform's rounding does. Exact, so the
  // result never depends on how a decimal fraction happens to be stored.
  const std::int64_t baud = parsed->baud;
  const std::int64_t num = 16000 + baud;
  const std::int64_t den = 2 * baud;
  std::int64_t ms = num / den;
  const std::int64_t twiceRest = 2 * (num % den);
  if (twiceRest > den || (twiceRest == den && ms % 2 == 1)) ++ms;
  return static_cast<std::uint32_t>(ms + 1);
}

void clsSerialCommAPI::SetPortOpen(bool open) {
  // Reopening without a close would lose the held port, so close it first.
  Close();
  if (!open) return;

  const auto multiplier = WriteMultiplierMs(settings_);
  if (!multiplier) return;
  const CommTimeouts timeouts{kMaxDword, 0, 0, *multiplier, kWriteConstantMs};
  CommHandle handle = 0;
  CommTimeouts saved;
  if (!backend_.CommOpen(commPort_, settings_, timeouts, handle, saved)) return;
  if (handle <= 0) return;
  handle_ = handle;
  savedTimeouts_ = saved;
}

void clsSerialCommAPI::Close() {
  if (handle_ <= 0) return;
  backend_.CommClose(handle_, savedTimeouts_);
  handle_ = 0;
}

std::string clsSerialCommAPI::InputData(std::int32_t bytesToReadCount) {
  lastInput_.clear();
  if (PortOpen() && bytesToReadCount > 0) {
    lastInput_ = backend_.CommRead(handle_, std::min(bytesToReadCount, kReadBufferSize));
  }
  return lastInput_;
}

void clsSerialCommAPI::SetOutputData(std::string_view text) {
  lastOutput_.assign(text);
  if (!PortOpen() || text.empty() || text.size() > kMaxOutputLength) return;
  backend_.CommWrite(handle_, text);
}

std::int32_t clsSerialCommAPI::InBufferCount() {
  if (!PortOpen()) return 0;
  return std::max(backend_.CommInputCount(handle_), 0);
}

void clsSerialCommAPI::SetInBufferCount(std::int32_t count) {
  if (count == 0 && PortOpen()) backend_.CommPurgeInput(handle_);
}

void clsSerialCommAPI::SetOutBufferCount(std::int32_t count) {
  if (count != 0) return;
  if (PortOpen()) backend_.CommPurgeOutput(handle_);
  outBufferCount_ = 0;
}

}  // namespace horalign
