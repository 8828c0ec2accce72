// The clock, the registry store and the single-instance guard on the real system calls
// (under Wine in scripts/test-windows.sh); the clock is never really set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/util/civil.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_clock_sync.h"
#include "platform/win32/win32_instance.h"
#include "platform/win32/win32_log_folder.h"
#include "platform/win32/win32_registry.h"
#include "sim/memory_registry.h"
#include "tests/core/settings/registry_rules.h"

namespace horalign {
namespace regtest {

// The shared registry rules, on the real registry below a scratch key of this process.
const std::string kScratch = "Software\\HoralignTest" + std::to_string(::GetCurrentProcessId());

struct Win32Harness {
  ~Win32Harness() {
    ::RegCloseKey(root);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kScratch.c_str());
  }
  RegistryStore& Store() { return store; }
  // A value of any type, as another program (or an older installation) might write it.
  void Put(const std::string& key, const std::string& name, const RegValue& value) {
    EXPECT_EQ(::RegSetKeyValueA(root, key.c_str(), name.c_str(), value.type, value.data.data(),
                                static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
  }
  bool KeyExists(const std::string& key) {
    HKEY k = nullptr;
    const bool found = ::RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS;
    if (found) ::RegCloseKey(k);
    return found;
  }

  HKEY root = [] {
    HKEY key = nullptr;
    ::RegCreateKeyExA(HKEY_CURRENT_USER, kScratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr);
    return key;
  }();
  Win32RegistryStore store{root, 0};
};

// The program's own store, in the 32-bit view, is read back by the end-to-end runs under Wine
// (reg query /reg:32).
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, RegistryRules, Win32Harness);

}  // namespace regtest

namespace {

constexpr std::uint64_t kEpochTicks = 116'444'736'000'000'000;

// The readings of the clock are checked on the wire, by the end-to-end run.
TEST(Win32Clock, ConvertsFileTimesToMicroseconds) {
  const struct {
    std::uint64_t ticks;
    CivilTime expected;
  } rows[] = {
      // Rounded towards the past also before 1970.
      {kEpochTicks - 5, {1969, 12, 31, 23, 59, 59, 999'999, 4}},
      {kEpochTicks + 12'345'678, {1970, 1, 1, 0, 0, 1, 234'567, 5}},
  };
  for (const auto& row : rows) EXPECT_EQ(CivilFromFileTime(row.ticks), row.expected) << row.ticks;
}

TEST(Win32Clock, SetsTheLocalTimeAgainAcrossATransitionAndReportsRefusals) {
  const CivilTime good{2026, 12, 5, 14, 5, 9, 42'999, 1};
  constexpr DWORD kStd = TIME_ZONE_ID_STANDARD, kDst = TIME_ZONE_ID_DAYLIGHT;
  using R = ClockSetResult;
  const struct {
    const char* what;
    CivilTime when;
    std::vector<DWORD> errors;  // SetLocalTime's answers in turn
    DWORD zoneAfter;            // the daylight-saving state once the clock was set
    ClockSetResult expected;
    std::size_t calls;
  } rows[] = {
      {"set", good, {0}, kStd, R::kOk, 1},
      {"across a transition", good, {0, 0}, kDst, R::kOk, 2},
      {"refused the second time", good, {0, ERROR_ACCESS_DENIED}, kDst, R::kNoRight, 2},
      {"privilege not held", good, {ERROR_PRIVILEGE_NOT_HELD}, kDst, R::kNoRight, 1},
      {"other error", good, {ERROR_INVALID_PARAMETER}, kDst, R::kFailed, 1},
      {"30 February", {2026, 2, 30, 1, 0, 0, 0, 1}, {}, kDst, R::kFailed, 0},
      {"hour 24", {2026, 2, 3, 24, 0, 0, 0, 1}, {}, kDst, R::kFailed, 0},
      {"before 1601", {1600, 12, 31, 0, 0, 0, 0, 1}, {}, kDst, R::kFailed, 0},
  };
  // Saturday: a caller's weekday counts for nothing.
  const SYSTEMTIME expected{2026, 12, 6, 5, 14, 5, 9, 42};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<bool> set;  // whether each setting asked for the expected time
    int zoneReads = 0;
    ClockSetter setter;
    setter.setLocalTime = [&](const SYSTEMTIME& st) -> DWORD {
      set.push_back(std::memcmp(&st, &expected, sizeof st) == 0);
      return set.size() <= row.errors.size() ? row.errors[set.size() - 1] : 0;
    };
    setter.zoneState = [&] { return zoneReads++ == 0 ? kStd : row.zoneAfter; };
    EXPECT_EQ(Win32Clock(setter).SetLocal(row.when), row.expected);
    EXPECT_EQ(set, std::vector<bool>(row.calls, true));
  }
}

// A step against the tick count is reported; the program's own setting is not. The local
// reading carries its date's weekday, which the local-time devices get with the date.
TEST(Win32Clock, ReportsAStepButNotItsOwnSetting) {
  ClockSetter setter;
  setter.setLocalTime = [](const SYSTEMTIME&) -> DWORD { return 0; };
  setter.zoneState = [] { return DWORD{TIME_ZONE_ID_STANDARD}; };
  Win32Clock clock(setter);
  std::vector<TimeJump> jumps;
  clock.SetJumpListener([&](const TimeJump& jump) { jumps.push_back(jump); });
  clock.CheckJumps(clock.WallAheadUs() + 2'000'000);
  const CivilTime now = clock.LocalNow();
  EXPECT_EQ(now.weekday, WeekdayOf(now.year, now.month, now.day));
  clock.SetLocal(now);
  clock.CheckJumps();
  ASSERT_EQ(jumps.size(), 1u);
  EXPECT_EQ(jumps[0].cause, TimeJumpCause::kStep);
  EXPECT_NEAR(static_cast<double>(jumps[0].stepMicros), 2e6, 50'000);
}

// The history's folder: made at the first append, appended to, renamed over an older file,
// read from its end; a folder that cannot be made is a refusal with its reason.
TEST(Win32LogFolder, AppendsRenamesAndReadsTheEnd) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring dir =
      std::wstring(temp) + L"horalign-history-" + std::to_wstring(::GetCurrentProcessId());
  Win32LogFolder folder(dir);
  std::string error;
  ASSERT_TRUE(folder.Append("a", "one\n", error)) << error;
  ASSERT_TRUE(folder.Append("a", "two\n", error)) << error;
  ASSERT_TRUE(folder.Append("b", "old\n", error)) << error;
  EXPECT_EQ(folder.Size("a"), 8);
  EXPECT_TRUE(folder.Rename("a", "b"));
  EXPECT_EQ(std::tuple(folder.Size("a"), folder.Read("b", 4), folder.Read("b", 100)),
            std::tuple(std::nullopt, std::optional<std::string>("two\n"),
                       std::optional<std::string>("one\ntwo\n")));
  ::DeleteFileW((dir + L"\\b").c_str());
  ::RemoveDirectoryW(dir.c_str());
  Win32LogFolder nowhere(dir + L"\\missing\\deeper");
  EXPECT_FALSE(nowhere.Append("a", "x", error));
  EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

TEST(Win32InstanceGuard, OneClaimPerNameUntilItsHolderEnds) {
  const std::string name =
      "Local\\HoralignTest.Instance." + std::to_string(::GetCurrentProcessId());
  auto first = std::make_unique<Win32InstanceGuard>(name);
  EXPECT_TRUE(first->Claim());
  EXPECT_TRUE(first->Claim());  // asking again keeps the claim
  EXPECT_FALSE(Win32InstanceGuard(name).Claim());
  EXPECT_TRUE(Win32InstanceGuard(name + ".other").Claim());  // another program's guard
  first.reset();
  EXPECT_TRUE(Win32InstanceGuard(name).Claim());
}

// The time service's settings: disabled or set to no sync leaves the clock unsynchronised;
// otherwise the last sync cannot be read, so the state is unknown, with its servers named.
TEST(Win32ClockSync, TheTimeServicesSettingsGiveTheStateOrUnknown) {
  const std::string service = "SYSTEM\\CurrentControlSet\\Services\\W32Time";
  const std::string parameters = service + "\\Parameters";
  const struct {
    const char* type;
    std::uint8_t start;  // 0: not stored
    ClockSyncState state;
    const char* source;
  } rows[] = {
      {"NTP", 3, ClockSyncState::kUnknown, "time.windows.com"},
      {"NT5DS", 2, ClockSyncState::kUnknown, "domain"},
      {"NoSync", 3, ClockSyncState::kUnsynchronized, ""},
      {"NTP", 4, ClockSyncState::kUnsynchronized, ""},
      {"", 0, ClockSyncState::kUnknown, "time.windows.com"},
  };
  for (const auto& row : rows) {
    sim::MemoryRegistry store;
    if (*row.type) store.SetString(parameters, "Type", row.type);
    store.SetString(parameters, "NtpServer", "time.windows.com,0x9");
    if (row.start) store.Put(service, "Start", RegValue{kRegDword, {row.start, 0, 0, 0}});
    const PcClockSyncInfo info = ClockSyncFromW32Time(store);
    EXPECT_EQ(info.state, row.state) << row.type << " " << int{row.start};
    EXPECT_EQ(info.source, row.source) << row.type;
    EXPECT_FALSE(info.maxErrorSeconds);
  }
}

}  // namespace
}  // namespace horalign
