#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <functional>

#include "core/platform/clock.h"

namespace horalign {

// FILETIME ticks (100 ns since 1601-01-01 UTC) as a civil time with microseconds.
CivilTime CivilFromFileTime(std::uint64_t ticks);

// What setting the clock asks of the system, replaceable so that tests never set the
// machine's clock.
struct ClockSetter {
  // Sets the local date and time; returns 0 or the Win32 error code.
  std::function<DWORD(const SYSTEMTIME& local)> setLocalTime;
  // GetTimeZoneInformation's answer: TIME_ZONE_ID_STANDARD, TIME_ZONE_ID_DAYLIGHT or
  // TIME_ZONE_ID_UNKNOWN.
  std::function<DWORD()> zoneState;
};

// The real setter: enables SE_SYSTEMTIME_NAME in the process token, then SetLocalTime.
ClockSetter SystemClockSetter();

// The PC clock through Win32. UTC comes from GetSystemTimePreciseAsFileTime where the
// system has it (Windows 8 and up), else GetSystemTimeAsFileTime; local time is that instant
// through the time zone rules in force at it.
class Win32Clock : public Clock {
 public:
  Win32Clock();
  explicit Win32Clock(ClockSetter setter);
  ~Win32Clock() override;
  Win32Clock(const Win32Clock&) = delete;
  Win32Clock& operator=(const Win32Clock&) = delete;

  CivilTime UtcNow() override;
  CivilTime LocalNow() override;

  // kFailed without touching the clock for an invalid date or time; kNoRight when the
  // privilege is missing or refused. SetLocalTime converts with the daylight-saving state
  // of the moment it runs, so a change that moves the clock across a transition is set a
  // second time, now under the new state.
  ClockSetResult SetLocal(const CivilTime& local) override;

  // A waitable timer (high resolution where the system offers one) under a 1 ms system
  // timer period, so the wait for the start of a second ends within a millisecond or two.
  void SleepMicros(std::int64_t micros) override;

  // Reports a step of the wall clock against the tick count since the last look (the
  // program's own SetLocal excepted) and a change of the local UTC offset.
  void CheckJumps();
  // The same with the wall clock's lead over the tick count given, for tests.
  void CheckJumps(std::int64_t wallAheadUs);
  // The wall clock's lead over GetTickCount64, which runs on through sleep, in microseconds.
  std::int64_t WallAheadUs() const;

 private:
  std::uint64_t NowTicks() const;
  std::int64_t OffsetMinutes();

  ClockSetter setter_;
  using PreciseFn = void(WINAPI*)(LPFILETIME);
  PreciseFn precise_ = nullptr;
  HANDLE timer_ = nullptr;
  std::int64_t wallAheadUs_ = 0;
  std::int64_t offsetMinutes_ = 0;
};

}  // namespace horalign
