#pragma once

#include "platform/win32/win32_api.h"

#include <optional>
#include <string>

#include "core/platform/registry_store.h"

namespace horalign {

// The settings store in the Windows registry, through the ANSI functions. The program has
// always been a 32-bit one, so its settings live in the 32-bit view of the registry
// (Software\WOW6432Node on 64-bit Windows): a 64-bit build asks for that view explicitly
// (KEY_WOW64_32KEY), which makes the settings of existing installations carry over.
class Win32RegistryStore : public RegistryStore {
 public:
  // `root` is HKEY_LOCAL_MACHINE for the program; tests may pass another root.
  explicit Win32RegistryStore(HKEY root = HKEY_LOCAL_MACHINE, REGSAM view = KEY_WOW64_32KEY);

  // Asks for the size first, then reads exactly that much (again if the value grew).
  std::optional<RegValue> Query(const std::string& keyPath, const std::string& name) override;

  // REG_SZ with its terminating NUL, creating the key and its parents.
  bool SetString(const std::string& keyPath, const std::string& name,
                 const std::string& text) override;

 private:
  HKEY root_;
  REGSAM view_;
};

}  // namespace horalign
