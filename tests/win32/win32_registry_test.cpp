#include "platform/win32/win32_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/app/app_config.h"
#include "core/app/registry.h"

namespace horalign {
namespace {

// Each run works below its own key in the 32-bit view of HKEY_LOCAL_MACHINE and removes it.
class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = "Software\\Quorvane\\HoralignTest" + std::to_string(::GetCurrentProcessId());
    key_ = base_ + "\\Deep\\Config";
  }
  void TearDown() override {
    HKEY software = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvane", 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, &software) == ERROR_SUCCESS) {
      ::RegDeleteTreeA(software, base_.substr(std::string("Software\\Quorvane\\").size()).c_str());
      ::RegCloseKey(software);
    }
  }

  // Writes a value the way another program (or an older installation) might have.
  void SetRaw(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(
        ::RegSetValueExA(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  bool ExistsInView(REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
      return false;
    }
    const bool found =
        ::RegQueryValueExA(key, "Name", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return found;
  }

  Win32RegistryStore store_;
  std::string base_;
  std::string key_;
};

TEST_F(Win32RegistryTest, AStringWrittenCreatesItsKeysAndReadsBackWithItsNul) {
  EXPECT_FALSE(store_.Query(key_, "Update Interval").has_value());
  ASSERT_TRUE(store_.SetString(key_, "Update Interval", "75"));
  const auto value = store_.Query(key_, "Update Interval");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, kRegSz);
  EXPECT_EQ(value->data, (std::vector<std::uint8_t>{'7', '5', 0}));
  ASSERT_TRUE(store_.SetString(key_, "Update Interval", ""));
  EXPECT_EQ(store_.Query(key_, "Update Interval")->data, std::vector<std::uint8_t>{0});
}

TEST_F(Win32RegistryTest, ValuesOfOtherTypesReadBackAsStored) {
  struct Case {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const std::vector<Case> cases = {
      {"Dword", REG_DWORD, {30, 0, 0, 0}},   {"Negative", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"Binary2", REG_BINARY, {0x34, 0x12}}, {"Binary6", REG_BINARY, {1, 2, 3, 4, 5, 6}},
      {"NoNul", REG_SZ, {'4', '2'}},         {"Expand", REG_EXPAND_SZ, {'%', 'X', '%', 0}},
  };
  for (const auto& c : cases) {
    SetRaw(c.name, c.type, c.data);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto value = store_.Query(key_, c.name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.type);
    if (c.type == REG_SZ) {
      // The system may add the NUL that the writer left out.
      EXPECT_EQ(std::string(value->data.begin(), value->data.begin() + 2), "42");
    } else {
      EXPECT_EQ(value->data, std::vector<std::uint8_t>(c.data.begin(), c.data.end()));
    }
  }
}

TEST_F(Win32RegistryTest, TheProgramsRulesHoldOnTheRealRegistry) {
  SetRaw("Update Interval", REG_DWORD, {30, 0, 0, 0});
  SetRaw("Binary6", REG_BINARY, {1, 2, 3, 4, 5, 6});
  store_.SetString(key_, "Blank", " ");
  EXPECT_EQ(GetRegSetting(store_, key_, "Update Interval", "60"), "30");
  EXPECT_EQ(GetRegSetting(store_, key_, "Binary6", "7"), "7");
  EXPECT_EQ(GetRegSetting(store_, key_, "Blank", "60"), "60");
  EXPECT_EQ(GetRegSetting(store_, key_, "Missing", "400"), "400");
  SaveRegSetting(store_, key_, "Saved", kRegStringKind, "");
  EXPECT_EQ(store_.Query(key_, "Saved")->data, (std::vector<std::uint8_t>{' ', 0}));
}

TEST_F(Win32RegistryTest, ALongValueIsReadWhole) {
  const std::string text(5000, 'q');
  ASSERT_TRUE(store_.SetString(key_, "Long", text));
  const auto value = store_.Query(key_, "Long");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data.size(), text.size() + 1);
  EXPECT_EQ(std::string(value->data.begin(), value->data.end() - 1), text);
}

TEST_F(Win32RegistryTest, SettingsLiveInThe32BitViewWhereEarlierInstallationsKeptThem) {
  ASSERT_TRUE(store_.SetString(key_, "Name", "x"));
  EXPECT_TRUE(ExistsInView(KEY_WOW64_32KEY));
  EXPECT_FALSE(ExistsInView(KEY_WOW64_64KEY));
  // A value an earlier installation left in the 32-bit view is found.
  Win32RegistryStore native(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
  EXPECT_FALSE(native.Query(key_, "Name").has_value());
}

TEST_F(Win32RegistryTest, AMissingKeyOrValueReadsAsNothing) {
  EXPECT_FALSE(store_.Query(key_ + "\\Nowhere", "Name").has_value());
  store_.SetString(key_, "Other", "1");
  EXPECT_FALSE(store_.Query(key_, "Name").has_value());
}

}  // namespace
}  // namespace horalign
