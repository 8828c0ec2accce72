#include "platform/win32/win32_serial.h"

#include <algorithm>
#include <cstdint>

namespace horalign {
namespace {

// The port object's read buffer: one read never asks for more.
constexpr DWORD kReadBufferSize = 1025;

COMMTIMEOUTS ToWin32(const CommTimeouts& t) {
  COMMTIMEOUTS w{};
  w.ReadIntervalTimeout = t.readIntervalTimeout;
  w.ReadTotalTimeoutMultiplier = t.readTotalTimeoutMultiplier;
  w.ReadTotalTimeoutConstant = t.readTotalTimeoutConstant;
  w.WriteTotalTimeoutMultiplier = t.writeTotalTimeoutMultiplier;
  w.WriteTotalTimeoutConstant = t.writeTotalTimeoutConstant;
  return w;
}

CommTimeouts FromWin32(const COMMTIMEOUTS& w) {
  return {w.ReadIntervalTimeout, w.ReadTotalTimeoutMultiplier, w.ReadTotalTimeoutConstant,
          w.WriteTotalTimeoutMultiplier, w.WriteTotalTimeoutConstant};
}

CommHandle ToCommHandle(HANDLE h) {
  return static_cast<CommHandle>(reinterpret_cast<std::intptr_t>(h));
}

// Applies the settings text the way the port object always has: the port's current line
// state, changed by BuildCommDCBA (baud rate, parity, data and stop bits, flow control off).
bool ApplyLineSettings(HANDLE h, const std::string& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(h, &dcb);  // a port that cannot report keeps the defaults BuildCommDCBA sets
  if (!::BuildCommDCBA(settings.c_str(), &dcb)) return false;
  return ::SetCommState(h, &dcb) != 0;
}

}  // namespace

std::string CommDevicePath(int port) {
  return "\\\\.\\COM" + std::to_string(port);
}

Win32SerialBackend::~Win32SerialBackend() {
  for (HANDLE h : open_) ::CloseHandle(h);
}

bool Win32SerialBackend::CommOpen(int port, const std::string& settings,
                                  const CommTimeouts& timeouts, CommHandle& handle,
                                  CommTimeouts& saved) {
  handle = 0;
  saved = {};
  if (port <= 0) return false;
  const std::string path = CommDevicePath(port);
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;

  COMMTIMEOUTS previous{};
  if (::GetCommTimeouts(h, &previous)) saved = FromWin32(previous);
  COMMTIMEOUTS wanted = ToWin32(timeouts);
  if (!::SetCommTimeouts(h, &wanted) || !ApplyLineSettings(h, settings)) {
    ::CloseHandle(h);
    saved = {};
    return false;
  }
  open_.insert(h);
  handle = ToCommHandle(h);
  return true;
}

HANDLE Win32SerialBackend::Find(CommHandle handle) const {
  if (handle <= 0) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
  return open_.count(h) ? h : nullptr;
}

bool Win32SerialBackend::CommClose(CommHandle handle, const CommTimeouts& saved) {
  HANDLE h = Find(handle);
  if (h == nullptr) return false;
  COMMTIMEOUTS previous = ToWin32(saved);
  ::SetCommTimeouts(h, &previous);
  open_.erase(h);
  return ::CloseHandle(h) != 0;
}

std::string Win32SerialBackend::CommRead(CommHandle handle, int maxBytes) {
  HANDLE h = Find(handle);
  if (h == nullptr || maxBytes <= 0) return {};
  char buffer[kReadBufferSize];
  DWORD got = 0;
  const DWORD want = std::min<DWORD>(static_cast<DWORD>(maxBytes), kReadBufferSize);
  if (!::ReadFile(h, buffer, want, &got, nullptr)) return {};
  return std::string(buffer, std::min(got, want));
}

int Win32SerialBackend::CommWrite(CommHandle handle, std::string_view bytes) {
  HANDLE h = Find(handle);
  if (h == nullptr || bytes.empty()) return 0;
  DWORD written = 0;
  // A write that runs past the write time-out ends early; what went out is what counts.
  ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CommFlush(handle);
  return static_cast<int>(written);
}

void Win32SerialBackend::CommFlush(CommHandle handle) {
  if (HANDLE h = Find(handle)) ::FlushFileBuffers(h);
}

void Win32SerialBackend::CommPurgeInput(CommHandle handle) {
  if (HANDLE h = Find(handle)) ::PurgeComm(h, PURGE_RXCLEAR);
}

void Win32SerialBackend::CommPurgeOutput(CommHandle handle) {
  if (HANDLE h = Find(handle)) ::PurgeComm(h, PURGE_TXCLEAR);
}

int Win32SerialBackend::CommInputCount(CommHandle handle) {
  HANDLE h = Find(handle);
  if (h == nullptr) return 0;
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(h, &errors, &status)) return 0;
  return static_cast<int>(std::min<DWORD>(status.cbInQue, 0x7FFFFFFF));
}

}  // namespace horalign
