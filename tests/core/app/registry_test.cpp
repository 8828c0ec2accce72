#include "core/app/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sim/memory_registry.h"
#include "tests/core/app/registry_rules.h"

namespace horalign {
namespace regtest {
namespace {

struct MemoryHarness {
  RegistryStore& Store() { return store; }
  void Put(const std::string& key, const std::string& name, const RegValue& value) {
    store.Put(key, name, value);
  }
  bool KeyExists(const std::string& key) { return store.KeyExists(key); }
  sim::MemoryRegistry store;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Memory, RegistryRules, MemoryHarness);

}  // namespace regtest

namespace {

TEST(MemoryRegistry, CountsWritesAndRefusesThemOrReadsWhenAsked) {
  sim::MemoryRegistry store;
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, "75");
  store.SetRefuseWrites(true);
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, "90");
  EXPECT_EQ(GetRegSetting(store, kConfigKey, kValueUpdateInterval), "75");
  EXPECT_EQ(store.WriteCount() * 10 + store.RefusedWriteCount(), 11);
  store.SetRefuseReads(true);
  EXPECT_EQ(GetRegSetting(store, kConfigKey, kValueUpdateInterval), "");
}

}  // namespace
}  // namespace horalign
