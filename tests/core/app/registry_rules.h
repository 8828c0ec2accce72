#pragma once

// The registry rules as one typed suite, run against every settings store. A harness
// gives the store under test, a way to put a value of any type, and whether a key exists.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/app/app_config.h"
#include "core/app/registry.h"

namespace horalign::regtest {

inline RegValue Sz(const std::string& text) {
  RegValue value{kRegSz, std::vector<std::uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);
  return value;
}

inline RegValue Dword(std::uint32_t number) {
  return RegValue{
      kRegDword,
      {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
       static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)}};
}

inline RegValue Raw(std::uint32_t type, std::vector<std::uint8_t> bytes) {
  return RegValue{type, std::move(bytes)};
}

template <typename Harness>
class RegistryRules : public ::testing::Test {
 protected:
  // What one field reads as after start-up with `stored` under `name`.
  std::int64_t FieldAfterLoad(const char* name, const RegValue& stored) {
    harness.Put(kConfigKey, name, stored);
    if (std::string(name) == kValueLastX) {
      return ReadWindowEdge(harness.Store(), kValueLastX, kDefaultLastX);
    }
    AppConfig config;
    LoadConfig(harness.Store(), config);
    if (std::string(name) == kValueConnectionMode) return config.ConnectionMode;
    return std::string(name) == kValueUsedComPorts ? config.UsedComPorts : config.UpdateInterval;
  }

  Harness harness;
};
TYPED_TEST_SUITE_P(RegistryRules);

TYPED_TEST_P(RegistryRules, EachValueTypeReadsAsText) {
  const struct {
    RegValue stored;
    const char* text;
  } rows[] = {{Sz("75"), "75"},
              {Raw(kRegSz, {'7', '5'}), ""},  // no NUL
              {Raw(kRegSz, {'a', 0, 'b', 0}), "a"},
              {Dword(30), "30"},
              {Dword(0xFFFFFFFF), "-1"},
              {Raw(kRegBinary, {0x01, 0x02}), "513"},
              {Raw(kRegBinary, {}), "0"},
              {Raw(kRegBinary, {0, 0, 0, 0x80}), "-2147483648"},
              {Raw(kRegBinary, {1, 0, 0, 0, 0}), ""},  // longer than 4 bytes
              {Raw(2, {'7', 0}), ""}};                 // an expandable string
  for (const auto& row : rows) {
    this->harness.Put(kConfigKey, "Value", row.stored);
    EXPECT_EQ(QueryRegValue(this->harness.Store(), kConfigKey, "value"), row.text) << row.text;
  }
  EXPECT_EQ(QueryRegValue(this->harness.Store(), kConfigKey, "Missing"), "");
  EXPECT_EQ(QueryRegValue(this->harness.Store(), "Software\\Nowhere", "Value"), "");
}

TYPED_TEST_P(RegistryRules, OnlyTextOfSpacesGivesTheDefault) {
  const std::optional<std::string> none;
  const struct {
    std::optional<std::string> stored, def;
    const char* expected;
  } rows[] = {{none, "60", "60"}, {none, none, ""}, {"", "60", "60"},       {" ", "60", "60"},
              {"   ", "7", "7"},  {" ", none, " "}, {" 15 ", "60", " 15 "}, {"\t", "60", "\t"}};
  int index = 0;
  for (const auto& row : rows) {
    const std::string name = "Value" + std::to_string(index++);
    if (row.stored) this->harness.Put(kConfigKey, name, Sz(*row.stored));
    EXPECT_EQ(GetRegSetting(this->harness.Store(), kConfigKey, name, row.def), row.expected)
        << name;
  }
}

TYPED_TEST_P(RegistryRules, NumbersAreReadFromTheFrontAndMustFitTheirField) {
  const struct {
    const char* name;
    RegValue stored;
    std::int64_t expected;
  } rows[] = {{kValueUpdateInterval, Sz("15 minutes"), 15},
              {kValueUpdateInterval, Sz(" 12abc"), 12},
              {kValueUpdateInterval, Sz("abc"), 0},
              {kValueUpdateInterval, Sz("2.5"), 2},
              {kValueUpdateInterval, Sz("3.5"), 4},
              {kValueUpdateInterval, Sz("-0.5"), 0},
              {kValueUpdateInterval, Sz("1 5"), 15},
              {kValueUpdateInterval, Sz("30"), 30},
              {kValueUpdateInterval, Sz("0"), 0},
              // What the four-digit box cannot show is brought into range as leaving the
              // box would do it, so the box shows the interval in use.
              {kValueUpdateInterval, Sz("-5"), 60},
              {kValueUpdateInterval, Sz("10000"), 9999},
              {kValueUpdateInterval, Sz("32767.5"), 60},  // rounds to 32768: the default
              {kValueUpdateInterval, Sz("1e400"), 60},
              {kValueUpdateInterval, Sz("1e-99999"), 0},
              {kValueUpdateInterval, Sz(" "), 60},
              {kValueUpdateInterval, Dword(30), 30},
              {kValueUpdateInterval, Raw(kRegBinary, {1, 0, 0, 0, 0}), 60},
              {kValueConnectionMode, Sz(" 2 "), 2},
              {kValueConnectionMode, Dword(1), 1},
              {kValueConnectionMode, Sz("1.5"), 0},  // not rounded into a mode
              {kValueConnectionMode, Sz("2abc"), 0},
              {kValueConnectionMode, Sz("3"), 0},
              {kValueConnectionMode, Sz("-1"), 0},
              {kValueUsedComPorts, Sz("2147483647"), 2147483647},
              {kValueUsedComPorts, Sz("2147483648"), 0},
              {kValueUsedComPorts, Dword(0xFFFFFFFF), -1},
              {kValueLastX, Sz("1234.5"), 1234},
              {kValueLastX, Sz("1235.5"), 1236},
              {kValueLastX, Sz(" -500 "), -500},
              {kValueLastX, Sz("1.5E+07"), 15000000},
              {kValueLastX, Sz("12abc"), 400},
              {kValueLastX, Sz("1 2"), 400},
              {kValueLastX, Sz("3e9"), 400},
              {kValueLastX, Sz(" "), 400}};
  for (const auto& row : rows) {
    const std::string shown(row.stored.data.begin(), row.stored.data.end());
    EXPECT_EQ(this->FieldAfterLoad(row.name, row.stored), row.expected)
        << row.name << " = " << shown.c_str();
  }
}

TYPED_TEST_P(RegistryRules, AnEmptyStoreGivesTheDefaults) {
  AppConfig config{0, 2, 3, 5, 5, 6};
  LoadConfig(this->harness.Store(), config);
  EXPECT_EQ(config, (AppConfig{1, 0, 0, 0, 60, 0}));
  EXPECT_EQ(ReadWindowEdge(this->harness.Store(), kValueLastX, kDefaultLastX), 400);
  EXPECT_EQ(ReadWindowEdge(this->harness.Store(), kValueLastY, kDefaultLastY), 200);
}

TYPED_TEST_P(RegistryRules, SavingCreatesTheKeyAndStoresBlankAsOneSpace) {
  auto& store = this->harness.Store();
  EXPECT_FALSE(this->harness.KeyExists(kConfigKey));
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, "75");
  EXPECT_TRUE(this->harness.KeyExists(kConfigKey));
  EXPECT_EQ(store.Query(kConfigKey, kValueUpdateInterval), Sz("75"));
  for (const char* blank : {"", "   "}) {
    SaveRegSetting(store, kConfigKey, kValueUpdateInterval, kRegStringKind, blank);
    EXPECT_EQ(store.Query(kConfigKey, kValueUpdateInterval), Sz(" "));
    EXPECT_EQ(GetRegSetting(store, kConfigKey, kValueUpdateInterval, "60"), "60");
  }
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, 4, "90");  // only kind 1 is written
  EXPECT_EQ(store.Query(kConfigKey, kValueUpdateInterval), Sz(" "));
}

REGISTER_TYPED_TEST_SUITE_P(RegistryRules, EachValueTypeReadsAsText,
                            OnlyTextOfSpacesGivesTheDefault,
                            NumbersAreReadFromTheFrontAndMustFitTheirField,
                            AnEmptyStoreGivesTheDefaults,
                            SavingCreatesTheKeyAndStoresBlankAsOneSpace);

}  // namespace horalign::regtest
