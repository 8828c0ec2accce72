#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/platform/registry_store.h"

namespace horalign::sim {

// A settings store held in memory. Key paths and value names compare without regard to
// case, as in the registry. Tests can put values of any type, make writes fail and count
// what was written.
class MemoryRegistry : public RegistryStore {
 public:
  std::optional<RegValue> Query(const std::string& keyPath, const std::string& name) override;
  bool SetString(const std::string& keyPath, const std::string& name,
                 const std::string& text) override;

  // Stores any value, creating the key; not counted as a write.
  void Put(const std::string& keyPath, const std::string& name, RegValue value);
  void Remove(const std::string& keyPath, const std::string& name);
  bool KeyExists(const std::string& keyPath) const;

  // While set, SetString stores nothing and returns false.
  void SetRefuseWrites(bool refuse) { refuseWrites_ = refuse; }
  // While set, Query finds nothing, as with a store that cannot be read.
  void SetRefuseReads(bool refuse) { refuseReads_ = refuse; }

  int WriteCount() const { return writeCount_; }
  int RefusedWriteCount() const { return refusedWriteCount_; }

 private:
  void CreateKey(const std::string& key);

  std::set<std::string> keys_;                                     // folded key paths
  std::map<std::string, std::map<std::string, RegValue>> values_;  // folded key, folded name
  bool refuseWrites_ = false;
  bool refuseReads_ = false;
  int writeCount_ = 0;
  int refusedWriteCount_ = 0;
};

}  // namespace horalign::sim
