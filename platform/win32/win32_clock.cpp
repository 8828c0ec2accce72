#include "platform/win32/win32_clock.h"

#include <mmsystem.h>

#include <utility>

#include "core/util/civil.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace horalign {
namespace {

constexpr std::uint64_t kTicksPerMicro = 10;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
// FILETIME ticks from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kEpochTicks = 116'444'736'000'000'000;

std::uint64_t TicksOf(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FileTimeOf(std::uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

CivilTime CivilFromSystemTime(const SYSTEMTIME& st, int micro) {
  CivilTime c;
  c.year = st.wYear;
  c.month = st.wMonth;
  c.day = st.wDay;
  c.hour = st.wHour;
  c.minute = st.wMinute;
  c.second = st.wSecond;
  c.micro = micro;
  c.weekday = st.wDayOfWeek + 1;
  return c;
}

// SYSTEMTIME holds years 1601 to 30827 and milliseconds only.
bool Representable(const CivilTime& t) {
  return t.year >= 1601 && t.year <= 30827 && IsValidDate(t.year, t.month, t.day) &&
         IsValidTimeOfDay(t.hour, t.minute, t.second) && t.micro >= 0 && t.micro < 1'000'000;
}

bool EnableSystemTimePrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = false;
  if (::LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &privileges.Privileges[0].Luid)) {
    // Succeeds with ERROR_NOT_ALL_ASSIGNED when the account does not hold the privilege.
    enabled = ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              ::GetLastError() == ERROR_SUCCESS;
  }
  ::CloseHandle(token);
  return enabled;
}

ClockSetResult ResultOf(DWORD error) {
  if (error == ERROR_SUCCESS) return ClockSetResult::kOk;
  if (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED) {
    return ClockSetResult::kNoRight;
  }
  return ClockSetResult::kFailed;
}

}  // namespace

CivilTime CivilFromFileTime(std::uint64_t ticks) {
  const auto sinceEpoch = static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kEpochTicks);
  // Whole microseconds, rounded towards the past also before 1970.
  std::int64_t micros = sinceEpoch / static_cast<std::int64_t>(kTicksPerMicro);
  if (sinceEpoch % static_cast<std::int64_t>(kTicksPerMicro) < 0) --micros;
  return FromEpochMicros(micros);
}

ClockSetter SystemClockSetter() {
  ClockSetter setter;
  setter.setLocalTime = [](const SYSTEMTIME& local) -> DWORD {
    // Without the privilege SetLocalTime itself reports ERROR_PRIVILEGE_NOT_HELD.
    EnableSystemTimePrivilege();
    if (::SetLocalTime(&local)) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
  };
  setter.zoneState = [] {
    TIME_ZONE_INFORMATION zone{};
    return ::GetTimeZoneInformation(&zone);
  };
  return setter;
}

Win32Clock::Win32Clock() : Win32Clock(SystemClockSetter()) {}

Win32Clock::Win32Clock(ClockSetter setter) : setter_(std::move(setter)) {
  if (HMODULE kernel = ::GetModuleHandleA("kernel32.dll")) {
    precise_ = reinterpret_cast<PreciseFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")));
  }
  timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
  if (timer_ == nullptr) timer_ = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
  wallAheadUs_ = WallAheadUs();
  offsetMinutes_ = OffsetMinutes();
}

Win32Clock::~Win32Clock() {
  if (timer_ != nullptr) ::CloseHandle(timer_);
}

std::uint64_t Win32Clock::NowTicks() const {
  FILETIME now{};
  if (precise_ != nullptr) {
    precise_(&now);
  } else {
    ::GetSystemTimeAsFileTime(&now);
  }
  return TicksOf(now);
}

CivilTime Win32Clock::UtcNow() {
  return CivilFromFileTime(NowTicks());
}

CivilTime Win32Clock::LocalNow() {
  const std::uint64_t ticks = NowTicks();
  const int micro = static_cast<int>((ticks % kTicksPerSecond) / kTicksPerMicro);
  const FILETIME utcFile = FileTimeOf(ticks);
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  if (::FileTimeToSystemTime(&utcFile, &utc) &&
      ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return CivilFromSystemTime(local, micro);
  }
  // The older route: the bias in force now rather than at the instant.
  FILETIME localFile{};
  if (::FileTimeToLocalFileTime(&utcFile, &localFile)) return CivilFromFileTime(TicksOf(localFile));
  return CivilFromFileTime(ticks);
}

ClockSetResult Win32Clock::SetLocal(const CivilTime& local) {
  if (!Representable(local)) return ClockSetResult::kFailed;
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(local.year);
  st.wMonth = static_cast<WORD>(local.month);
  st.wDay = static_cast<WORD>(local.day);
  st.wDayOfWeek = static_cast<WORD>(WeekdayOf(local.year, local.month, local.day) - 1);
  st.wHour = static_cast<WORD>(local.hour);
  st.wMinute = static_cast<WORD>(local.minute);
  st.wSecond = static_cast<WORD>(local.second);
  st.wMilliseconds = static_cast<WORD>(local.micro / 1000);

  const DWORD before = setter_.zoneState();
  const ClockSetResult first = ResultOf(setter_.setLocalTime(st));
  if (first != ClockSetResult::kOk) return first;
  ClockSetResult result = first;
  if (setter_.zoneState() != before) result = ResultOf(setter_.setLocalTime(st));
  // The program's own step is no jump to report.
  if (result == ClockSetResult::kOk) wallAheadUs_ = WallAheadUs();
  return result;
}

std::int64_t Win32Clock::WallAheadUs() const {
  const auto wallUs = static_cast<std::int64_t>(NowTicks() / kTicksPerMicro);
  return wallUs - static_cast<std::int64_t>(::GetTickCount64()) * 1000;
}

std::int64_t Win32Clock::OffsetMinutes() {
  const CivilTime utc = UtcNow();
  const CivilTime local = LocalNow();
  const std::int64_t apartUs = ToEpochMicros(local) - ToEpochMicros(utc);
  // The two readings are microseconds apart: round to whole minutes.
  return (apartUs + (apartUs < 0 ? -30'000'000 : 30'000'000)) / 60'000'000;
}

void Win32Clock::CheckJumps() {
  CheckJumps(WallAheadUs());
}

void Win32Clock::CheckJumps(std::int64_t wallAheadUs) {
  const std::int64_t step = wallAheadUs - std::exchange(wallAheadUs_, wallAheadUs);
  const std::int64_t offset = OffsetMinutes();
  const bool offsetChanged = offset != std::exchange(offsetMinutes_, offset);
  // The tick count moves in steps of 10 to 16 ms.
  if (step >= 50'000 || step <= -50'000) NoticeJump({TimeJumpCause::kStep, step});
  if (offsetChanged) NoticeJump({TimeJumpCause::kOffsetChange});
}

void Win32Clock::SleepMicros(std::int64_t micros) {
  if (micros <= 0) return;
  ::timeBeginPeriod(1);
  LARGE_INTEGER due{};
  due.QuadPart = -micros * static_cast<std::int64_t>(kTicksPerMicro);  // relative
  if (timer_ != nullptr && ::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
    ::WaitForSingleObject(timer_, INFINITE);
  } else {
    ::Sleep(static_cast<DWORD>((micros + 999) / 1000));
  }
  ::timeEndPeriod(1);
}

}  // namespace horalign
