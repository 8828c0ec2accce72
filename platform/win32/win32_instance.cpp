#include "platform/win32/win32_instance.h"

#include <utility>

namespace horalign {

Win32InstanceGuard::Win32InstanceGuard(std::string name) : name_(std::move(name)) {}

Win32InstanceGuard::~Win32InstanceGuard() {
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

bool Win32InstanceGuard::Claim() {
  if (mutex_ != nullptr) return true;
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name_.c_str());
  const DWORD error = ::GetLastError();
  if (mutex == nullptr) {
    // The name exists as another kind of object, or access is denied: another instance
    // (perhaps of another user in this session) has it.
    return error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_HANDLE;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  mutex_ = mutex;
  return true;
}

}  // namespace horalign
