#include "core/app/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
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

using regtest::Sz;

TEST(LeadingNumber, ReadsSignPointAndExponentSkippingBlanks) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::string text;
    double expected;
  } rows[] = {{"", 0},
              {"-", 0},
              {".5", 0.5},
              {"1.2.3", 1.2},
              {"1e+", 1},
              {"1E2x", 100},
              {"--5", 0},
              {"0x10", 0},
              {"+8", 8},
              {" - 1 2 . 5 e 1", -125},
              {"1e-2", 0.01},
              {"-1e309", -inf},
              {"1e99999999999999999999999", inf},
              {"1e-400", 0},
              {std::string(5000, '9'), inf},
              {std::string(5000, '0') + "12", 12},
              {"0." + std::string(5000, '0') + "1", 0}};
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(LeadingNumber(row.text), row.expected) << row.text.substr(0, 30);
  }
}

TEST(WholeNumber, AcceptsOnlyOneNumberWithBlanksAround) {
  EXPECT_EQ(WholeNumber(" -1.5E+07 "), -1.5e7);
  for (const char* bad : {"", " ", ".", "-", "12abc", "1 2", "1e", "1,5"}) {
    EXPECT_FALSE(WholeNumber(bad)) << bad;
  }
}

TEST(RoundIntoField, RoundsHalvesToEvenAndRefusesWhatDoesNotFit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double value;
    int bits;
    std::optional<std::int32_t> expected;
  } rows[] = {{2.5, 16, 2},
              {-2.5, 16, -2},
              {0.49999999999999994, 16, 0},
              {2.5000001, 16, 3},
              {-32768.5, 16, -32768},
              {32767.5, 16, std::nullopt},
              {-2147483648.5, 32, INT32_MIN},
              {2147483647.5, 32, std::nullopt},
              {1e300, 32, std::nullopt},
              {nan, 32, std::nullopt}};
  for (const auto& row : rows) {
    EXPECT_EQ(RoundIntoField(row.value, row.bits), row.expected) << row.value;
  }
}

TEST(MemoryRegistry, IgnoresCaseAndCountsOrRefusesWrites) {
  sim::MemoryRegistry store;
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, "75");
  EXPECT_EQ(store.Query("SOFTWARE\\quorvane\\HORALIGN\\config\\", "update interval"), Sz("75"));
  EXPECT_TRUE(store.KeyExists("Software\\Quorvane"));
  EXPECT_EQ(store.WriteCount(), 1);

  store.SetRefuseWrites(true);
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, "90");
  EXPECT_EQ(GetRegSetting(store, kConfigKey, kValueUpdateInterval), "75");
  EXPECT_EQ(store.WriteCount(), 1);
  EXPECT_EQ(store.RefusedWriteCount(), 1);

  store.SetRefuseReads(true);
  EXPECT_EQ(GetRegSetting(store, kConfigKey, kValueUpdateInterval, "60"), "60");
}

}  // namespace
}  // namespace horalign
