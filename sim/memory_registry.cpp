#include "sim/memory_registry.h"

#include <utility>

namespace horalign::sim {
namespace {

std::string Fold(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "a\b\" and "A\B" are the same key.
std::string FoldKey(const std::string& keyPath) {
  std::string out = Fold(keyPath);
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

}  // namespace

std::optional<RegValue> MemoryRegistry::Query(const std::string& keyPath, const std::string& name) {
  if (refuseReads_) return std::nullopt;
  const auto key = values_.find(FoldKey(keyPath));
  if (key == values_.end()) return std::nullopt;
  const auto value = key->second.find(Fold(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

bool MemoryRegistry::SetString(const std::string& keyPath, const std::string& name,
                               const std::string& text) {
  if (refuseWrites_) {
    ++refusedWriteCount_;
    return false;
  }
  RegValue value{kRegSz, std::vector<std::uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);
  Put(keyPath, name, std::move(value));
  ++writeCount_;
  return true;
}

void MemoryRegistry::Put(const std::string& keyPath, const std::string& name, RegValue value) {
  const std::string key = FoldKey(keyPath);
  CreateKey(key);
  values_[key][Fold(name)] = std::move(value);
}

void MemoryRegistry::Remove(const std::string& keyPath, const std::string& name) {
  const auto key = values_.find(FoldKey(keyPath));
  if (key != values_.end()) key->second.erase(Fold(name));
}

bool MemoryRegistry::KeyExists(const std::string& keyPath) const {
  return keys_.count(FoldKey(keyPath)) != 0;
}

void MemoryRegistry::CreateKey(const std::string& key) {
  // Creating a key creates its missing parents.
  for (std::size_t slash = key.find('\\'); slash != std::string::npos;
       slash = key.find('\\', slash + 1)) {
    keys_.insert(key.substr(0, slash));
  }
  keys_.insert(key);
}

}  // namespace horalign::sim
