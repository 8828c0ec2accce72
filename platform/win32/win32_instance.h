#pragma once

#include "platform/win32/win32_api.h"

#include <string>

#include "core/platform/instance.h"

namespace horalign {

// One instance per session through a named mutex in the session's namespace. The system
// releases the name when the holding process ends, crashed or not.
class Win32InstanceGuard : public InstanceGuard {
 public:
  static constexpr const char* kDefaultName = "Local\\Horalign.SingleInstance";

  explicit Win32InstanceGuard(std::string name = kDefaultName);
  ~Win32InstanceGuard() override;
  Win32InstanceGuard(const Win32InstanceGuard&) = delete;
  Win32InstanceGuard& operator=(const Win32InstanceGuard&) = delete;

  // False when the mutex already existed: another instance holds the name.
  bool Claim() override;

 private:
  std::string name_;
  HANDLE mutex_ = nullptr;
};

}  // namespace horalign
