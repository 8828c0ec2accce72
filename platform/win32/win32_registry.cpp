#include "platform/win32/win32_registry.h"

namespace horalign {
namespace {

// Closes a key on every path out of a function.
class KeyHolder {
 public:
  KeyHolder() = default;
  ~KeyHolder() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A value that changes between the size query and the read is read again, a few times.
constexpr int kReadAttempts = 3;

}  // namespace

Win32RegistryStore::Win32RegistryStore(HKEY root, REGSAM view) : root_(root), view_(view) {}

std::optional<RegValue> Win32RegistryStore::Query(const std::string& keyPath,
                                                  const std::string& name) {
  KeyHolder key;
  if (::RegOpenKeyExA(root_, keyPath.c_str(), 0, KEY_QUERY_VALUE | view_, key.Out()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    RegValue value;
    value.type = type;
    value.data.assign(size, 0);
    DWORD got = size;
    const LSTATUS status =
        ::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type,
                           value.data.empty() ? nullptr : value.data.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return std::nullopt;
    value.type = type;
    value.data.resize(got);
    return value;
  }
  return std::nullopt;
}

bool Win32RegistryStore::SetString(const std::string& keyPath, const std::string& name,
                                   const std::string& text) {
  KeyHolder key;
  if (::RegCreateKeyExA(root_, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | view_, nullptr, key.Out(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // The size counts the terminating NUL, as a REG_SZ is meant to be stored.
  const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return ::RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ, bytes,
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

}  // namespace horalign
