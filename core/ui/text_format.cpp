#include "core/ui/text_format.h"

namespace horalign {

std::string FormatClockTime(const CivilTime& t, const LocaleFormat& locale) {
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  const char sep = locale.timeSeparator;
  return ZeroPad(hour12, 2) + sep + ZeroPad(t.minute, 2) + sep + ZeroPad(t.second, 2) + " " +
         (t.hour < 12 ? locale.am : locale.pm);
}

std::string FormatClockDate(const CivilTime& t, const LocaleFormat& locale) {
  const char sep = locale.dateSeparator;
  return ZeroPad(t.month, 2) + sep + ZeroPad(t.day, 2) + sep + ZeroPad(t.year, 4);
}

std::string FormatStatusTime(const CivilTime& t, const LocaleFormat& locale) {
  const char sep = locale.dateSeparator;
  return ZeroPad(t.month, 2) + sep + ZeroPad(t.day, 2) + sep + ZeroPad(t.year % 100, 2) + ", " +
         FormatClockTime(t, locale);
}

}  // namespace horalign
