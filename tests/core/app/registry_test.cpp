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

constexpr double kInf = std::numeric_limits<double>::infinity();

// A leading number skips blanks before and inside it; a whole number allows them only around.
TEST(Numbers, AreReadFromTheFrontOrWholeAndRoundedHalvesToEvenIntoTheirField) {
  const struct {
    std::string text;
    double leading;
    std::optional<double> whole;
  } rows[] = {{"", 0, {}},
              {"-", 0, {}},
              {".5", 0.5, 0.5},
              {"1.2.3", 1.2, {}},
              {"1e+", 1, {}},
              {"1E2x", 100, {}},
              {"--5", 0, {}},
              {"+8", 8, 8},
              {" \t- 1 2 . 5 e 1", -125, {}},
              {"\r\n-1.5E+07\t ", -1.5e7, -1.5e7},
              {"1e-2", 0.01, 0.01},
              {"-1e309", -kInf, -kInf},
              {"1e99999999999999999999999", kInf, kInf},
              {"1e-400", 0, 0},
              {std::string(5000, '9'), kInf, kInf},
              {std::string(5000, '0') + "12", 12, 12},
              {"0." + std::string(5000, '0') + "1", 0, 0},
              {"1,5", 1, {}}};
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(LeadingNumber(row.text), row.leading) << row.text.substr(0, 30);
    EXPECT_EQ(WholeNumber(row.text), row.whole) << row.text.substr(0, 30);
  }
  const struct {
    double value;
    int bits;
    std::optional<std::int32_t> expected;
  } fields[] = {{-2.5, 16, -2},
                {0.49999999999999994, 16, 0},
                {2.5000001, 16, 3},
                {-1, 1, -1},
                {1, 1, {}},
                {2147483647.5, 32, {}},
                {-2147483648.5, 32, INT32_MIN},
                {1, 33, {}},
                {std::numeric_limits<double>::quiet_NaN(), 32, {}}};
  for (const auto& f : fields) EXPECT_EQ(RoundIntoField(f.value, f.bits), f.expected) << f.value;
}

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
