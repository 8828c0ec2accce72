#include "core/util/civil.h"

namespace horalign {

// Howard Hinnant's days-from-civil algorithms: exact over the whole int range we use.
std::int64_t DaysFromCivil(int year, int month, int day) {
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t days, CivilTime& out) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  out.year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  out.month = static_cast<int>(m);
  out.day = static_cast<int>(d);
  // 1970-01-01 was a Thursday (5 when Sunday is 1).
  const std::int64_t wd = ((days % 7) + 7 + 4) % 7;  // 0 = Sunday
  out.weekday = static_cast<int>(wd) + 1;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool IsValidTimeOfDay(int hour, int minute, int second) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

int WeekdayOf(int year, int month, int day) {
  CivilTime t;
  CivilFromDays(DaysFromCivil(year, month, day), t);
  return t.weekday;
}

std::int64_t ToEpochMicros(const CivilTime& t) {
  const std::int64_t secs =
      DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return secs * 1'000'000 + t.micro;
}

CivilTime FromEpochMicros(std::int64_t us) {
  std::int64_t days = us / 86'400'000'000;
  std::int64_t rest = us % 86'400'000'000;
  if (rest < 0) {
    rest += 86'400'000'000;
    --days;
  }
  CivilTime t;
  CivilFromDays(days, t);
  const std::int64_t secs = rest / 1'000'000;
  t.micro = static_cast<int>(rest % 1'000'000);
  t.hour = static_cast<int>(secs / 3600);
  t.minute = static_cast<int>(secs / 60 % 60);
  t.second = static_cast<int>(secs % 60);
  return t;
}

std::string ZeroPad(long long n, int digits) {
  std::string s = std::to_string(n < 0 ? -n : n);
  if (static_cast<int>(s.size()) < digits) s.insert(0, digits - s.size(), '0');
  return n < 0 ? "-" + s : s;
}

}  // namespace horalign
