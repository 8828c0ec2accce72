#include "platform/win32/win32_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "core/util/civil.h"

namespace horalign {
namespace {

constexpr std::uint64_t kEpochTicks = 116'444'736'000'000'000;

std::int64_t MicrosOf(const SYSTEMTIME& st) {
  CivilTime c;
  c.year = st.wYear, c.month = st.wMonth, c.day = st.wDay;
  c.hour = st.wHour, c.minute = st.wMinute, c.second = st.wSecond;
  c.micro = st.wMilliseconds * 1000;
  return ToEpochMicros(c);
}

TEST(CivilFromFileTime, ConvertsTicksToCivilTimeWithMicroseconds) {
  struct Case {
    std::uint64_t ticks;
    CivilTime expected;
  };
  const Case cases[] = {
      {kEpochTicks, {1970, 1, 1, 0, 0, 0, 0, 5}},
      {0, {1601, 1, 1, 0, 0, 0, 0, 2}},
      {kEpochTicks + 12'345'678, {1970, 1, 1, 0, 0, 1, 234'567, 5}},
      // Saturday 5 December 2026, 14:05:09.5 UTC.
      {kEpochTicks + 1'796'479'509'500'000ull * 10, {2026, 12, 5, 14, 5, 9, 500'000, 7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    EXPECT_EQ(CivilFromFileTime(c.ticks), c.expected);
  }
}

TEST(Win32ClockReading, UtcAndLocalTimeAgreeWithTheSystemsOwnReadings) {
  Win32Clock clock;
  SYSTEMTIME utc{}, local{};
  ::GetSystemTime(&utc);
  ::GetLocalTime(&local);
  const CivilTime ourUtc = clock.UtcNow();
  const CivilTime ourLocal = clock.LocalNow();
  EXPECT_LT(std::llabs(ToEpochMicros(ourUtc) - MicrosOf(utc)), 1'000'000);
  EXPECT_LT(std::llabs(ToEpochMicros(ourLocal) - MicrosOf(local)), 1'000'000);
  EXPECT_EQ(ourLocal.weekday, WeekdayOf(ourLocal.year, ourLocal.month, ourLocal.day));
}

// A setter that records instead of setting the machine's clock.
struct FakeSetter {
  std::vector<SYSTEMTIME> calls;
  std::vector<DWORD> errors;      // one per call; 0 when it runs out
  std::vector<DWORD> zoneStates;  // answers in turn; the last one repeats
  int zoneReads = 0;

  ClockSetter Make() {
    ClockSetter s;
    s.setLocalTime = [this](const SYSTEMTIME& st) -> DWORD {
      calls.push_back(st);
      return calls.size() <= errors.size() ? errors[calls.size() - 1] : 0;
    };
    s.zoneState = [this]() -> DWORD {
      const auto i = static_cast<std::size_t>(zoneReads++);
      return i < zoneStates.size() ? zoneStates[i] : zoneStates.back();
    };
    return s;
  }
};

TEST(Win32ClockSetting, SetsTheLocalTimeWithMillisecondsAndWeekday) {
  FakeSetter fake;
  fake.zoneStates = {TIME_ZONE_ID_STANDARD};
  Win32Clock clock(fake.Make());
  const CivilTime when{2026, 12, 5, 14, 5, 9, 42'999, 1};
  EXPECT_EQ(clock.SetLocal(when), ClockSetResult::kOk);
  ASSERT_EQ(fake.calls.size(), 1u);
  const SYSTEMTIME& st = fake.calls[0];
  EXPECT_EQ(st.wYear, 2026);
  EXPECT_EQ(st.wMonth, 12);
  EXPECT_EQ(st.wDay, 5);
  EXPECT_EQ(st.wDayOfWeek, 6);  // Saturday, whatever the caller's weekday field said
  EXPECT_EQ(st.wHour, 14);
  EXPECT_EQ(st.wMinute, 5);
  EXPECT_EQ(st.wSecond, 9);
  EXPECT_EQ(st.wMilliseconds, 42);
}

TEST(Win32ClockSetting, AChangeAcrossADaylightSavingTransitionIsSetTwice) {
  FakeSetter crossing;
  crossing.zoneStates = {TIME_ZONE_ID_STANDARD, TIME_ZONE_ID_DAYLIGHT};
  Win32Clock clock(crossing.Make());
  EXPECT_EQ(clock.SetLocal({2026, 3, 29, 12, 0, 0, 0, 1}), ClockSetResult::kOk);
  ASSERT_EQ(crossing.calls.size(), 2u);
  EXPECT_EQ(crossing.calls[1].wHour, 12);

  FakeSetter staying;
  staying.zoneStates = {TIME_ZONE_ID_DAYLIGHT};
  Win32Clock same(staying.Make());
  EXPECT_EQ(same.SetLocal({2026, 7, 1, 12, 0, 0, 0, 1}), ClockSetResult::kOk);
  EXPECT_EQ(staying.calls.size(), 1u);
}

TEST(Win32ClockSetting, RefusalsBecomeResultsAndInvalidTimesAreNeverSet) {
  struct Case {
    const char* what;
    DWORD error;
    CivilTime when;
    ClockSetResult expected;
    std::size_t calls;
  };
  const CivilTime good{2026, 12, 5, 14, 5, 9, 0, 1};
  const Case cases[] = {
      {"privilege not held", ERROR_PRIVILEGE_NOT_HELD, good, ClockSetResult::kNoRight, 1},
      {"access denied", ERROR_ACCESS_DENIED, good, ClockSetResult::kNoRight, 1},
      {"other error", ERROR_INVALID_PARAMETER, good, ClockSetResult::kFailed, 1},
      {"30 February", 0, {2026, 2, 30, 1, 0, 0, 0, 1}, ClockSetResult::kFailed, 0},
      {"hour 24", 0, {2026, 2, 3, 24, 0, 0, 0, 1}, ClockSetResult::kFailed, 0},
      {"before 1601", 0, {1600, 12, 31, 0, 0, 0, 0, 1}, ClockSetResult::kFailed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSetter fake;
    fake.errors = {c.error};
    fake.zoneStates = {TIME_ZONE_ID_STANDARD, TIME_ZONE_ID_DAYLIGHT};
    Win32Clock clock(fake.Make());
    EXPECT_EQ(clock.SetLocal(c.when), c.expected);
    EXPECT_EQ(fake.calls.size(), c.calls);
  }
}

TEST(Win32ClockSleep, SleepsAboutAsLongAsAskedWithMillisecondResolution) {
  Win32Clock clock;
  for (const std::int64_t micros : {3'000, 20'000}) {
    SCOPED_TRACE(micros);
    const auto start = std::chrono::steady_clock::now();
    clock.SleepMicros(micros);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    EXPECT_GE(took, micros - 1'000);
    EXPECT_LT(took, micros + 60'000);  // a loaded machine may run late, never early
  }
}

}  // namespace
}  // namespace horalign
