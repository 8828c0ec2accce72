#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace horalign {

// Value types as the registry numbers them.
enum RegType : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegBinary = 3,
  kRegDword = 4,
};

struct RegValue {
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> data;  // as stored: a REG_SZ holds its terminating NUL
  friend bool operator==(const RegValue&, const RegValue&) = default;
};

// The settings store under HKEY_LOCAL_MACHINE. Key paths use backslashes, for example
// "Software\\Quorvane\\Horalign\\Config". The registry rules (blank means default, " "
// for an empty text, numbers from text) live in the core, not here.
class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  // The value's type and bytes, or nullopt when the key or the value is missing or
  // cannot be read.
  virtual std::optional<RegValue> Query(const std::string& keyPath, const std::string& name) = 0;

  // Writes a string value (REG_SZ), creating the key and any missing parents. Returns
  // false when the write was refused; callers may ignore it.
  virtual bool SetString(const std::string& keyPath, const std::string& name,
                         const std::string& text) = 0;
};

}  // namespace horalign
