#pragma once

// The registry rules as one typed suite, run against every settings store. A harness
// gives the store under test, a way to put a value of any type, and whether a key exists.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/app_config.h"
#include "core/settings/registry.h"

namespace horalign::regtest {

inline RegValue Raw(std::uint32_t type, std::vector<std::uint8_t> bytes) {
  return RegValue{type, std::move(bytes)};
}
inline RegValue Sz(const std::string& text) {
  return Raw(kRegSz, std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1));
}
inline RegValue Dword(std::uint32_t n) {
  return Raw(kRegDword,
             {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), std::uint8_t(n >> 24)});
}

template <typename Harness>
struct RegistryRules : ::testing::Test {
  Harness harness;
};
TYPED_TEST_SUITE_P(RegistryRules);

// Defaults first; then every value type as text, where only missing values or text of spaces
// give the default; then what saving stores.
TYPED_TEST_P(RegistryRules, EachValueTypeReadsAsTextAndSavingStoresBlankAsASpace) {
  auto& store = this->harness.Store();
  AppConfig config{0, 2, 3, 5, 5, 6, false, true};
  LoadConfig(store, config);
  EXPECT_EQ(config, (AppConfig{1, 0, 0, 0, 60, 0, true, false}));
  EXPECT_EQ(ReadWindowEdge(store, kValueLastY, kDefaultLastY), 200);
  EXPECT_FALSE(this->harness.KeyExists(kConfigKey));
  const struct {
    std::optional<RegValue> stored;
    std::optional<std::string> def;
    const char* text;
  } rows[] = {{Sz("75"), {}, "75"},
              {Raw(kRegSz, {'7', '5'}), {}, ""},  // no NUL
              {Raw(kRegSz, {'a', 0, 'b', 0}), {}, "a"},
              {Dword(0xFFFFFFFF), {}, "-1"},
              {Raw(kRegBinary, {0x01, 0x02}), {}, "513"},
              {Raw(kRegBinary, {1, 0, 0, 0, 0}), {}, ""},  // longer than 4 bytes
              {Raw(2, {'7', 0}), {}, ""},                  // an expandable string
              {std::nullopt, "60", "60"},
              {Sz("   "), "7", "7"},
              {Sz(" "), {}, " "},
              {Sz(" 15 "), "60", " 15 "},
              {Sz("\t"), "60", "\t"}};
  int index = 0;
  for (const auto& row : rows) {
    const std::string name = "Value" + std::to_string(index++);
    if (row.stored) this->harness.Put(kConfigKey, name, *row.stored);
    EXPECT_EQ(GetRegSetting(store, kConfigKey, "VALUE" + name.substr(5), row.def), row.text)
        << name;
  }
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, RegKind::kString, "75");
  EXPECT_TRUE(this->harness.KeyExists(kConfigKey));
  SaveRegSetting(store, kConfigKey, kValueUpdateInterval, RegKind::kDword,
                 "90");  // only strings are written
  EXPECT_EQ(store.Query(kConfigKey, kValueUpdateInterval), Sz("75"));
  for (const char* blank : {"", "   "}) {
    SaveRegSetting(store, kConfigKey, kValueUpdateInterval, RegKind::kString, blank);
    EXPECT_EQ(store.Query(kConfigKey, kValueUpdateInterval), Sz(" "));
  }
}

// What each field reads as at start-up with a value stored under its name.
TYPED_TEST_P(RegistryRules, NumbersAreReadFromTheFrontAndMustFitTheirField) {
  const struct {
    const char* name;
    RegValue stored;
    std::int64_t expected;
  } rows[] = {{kValueUpdateInterval, Sz(" 1 5 minutes"), 15},
              {kValueUpdateInterval, Sz("0"), 0},
              // What the four-digit box cannot show is brought into range as leaving the
              // box would do it, so the box shows the interval in use.
              {kValueUpdateInterval, Sz("-1"), 60},
              {kValueUpdateInterval, Sz("10000"), 9999},
              {kValueUpdateInterval, Sz("32767.5"), 60},  // rounds to 32768: the default
              {kValueConnectionMode, Sz(" 2 "), 2},
              {kValueConnectionMode, Dword(1), 1},
              {kValueConnectionMode, Sz("1.5"), 0},  // not rounded into a mode
              {kValueUsedComPorts, Sz("2147483648"), 0},
              {kValueUsedComPorts, Sz("-2147483648.5"), -2147483648},
              {kValueLastX, Sz("1235.5"), 1236},
              {kValueLastX, Sz(" -1.5E+07 "), -15000000},
              {kValueLastX, Sz(std::string(400, '0') + "7"), 7},
              {kValueLastX, Sz("12abc"), 400},
              {kValuePushOnTimeChange, Sz(" 0 "), 0},
              {kValuePushOnTimeChange, Dword(0), 0},
              {kValuePushOnTimeChange, Sz("0 pushes"), 1},
              {kValueVerifyWrites, Sz(" 1 "), 1},
              {kValueVerifyWrites, Dword(0), 0},
              {kValueVerifyWrites, Sz("1 please"), 0},
              {kValueFeedTimeDaemon, Sz(" 1 "), 1},
              {kValueFeedTimeDaemon, Sz("yes"), 0},
              // The socket's path: 1 where it reads as the default.
              {kValueTimeDaemonSocket, Sz("/" + std::string(106, 's')), 0},
              {kValueTimeDaemonSocket, Sz("/" + std::string(107, 's')), 1},
              {kValueTimeDaemonSocket, Sz("relative.sock"), 1},
              {kValueTimeDaemonSocket, Sz("/tmp/a\nb"), 1},
              {kValueTimeDaemonSocket, Sz("/tmp/a\tb"), 1}};
  for (const auto& row : rows) {
    this->harness.Put(kConfigKey, row.name, row.stored);
    AppConfig c;
    LoadConfig(this->harness.Store(), c);
    const std::map<std::string, std::int64_t> fields = {
        {kValueUpdateInterval, c.UpdateInterval},
        {kValueConnectionMode, c.ConnectionMode},
        {kValueUsedComPorts, c.UsedComPorts},
        {kValuePushOnTimeChange, c.PushOnTimeChange},
        {kValueVerifyWrites, c.VerifyWrites},
        {kValueFeedTimeDaemon, c.FeedTimeDaemon},
        {kValueTimeDaemonSocket, c.TimeDaemonSocket == kDefaultTimeDaemonSocket},
        {kValueLastX, ReadWindowEdge(this->harness.Store(), kValueLastX, kDefaultLastX)}};
    EXPECT_EQ(fields.at(row.name), row.expected) << row.name << ", row " << &row - rows;
  }
}

REGISTER_TYPED_TEST_SUITE_P(RegistryRules, EachValueTypeReadsAsTextAndSavingStoresBlankAsASpace,
                            NumbersAreReadFromTheFrontAndMustFitTheirField);

}  // namespace horalign::regtest
