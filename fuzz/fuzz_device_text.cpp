// The cleaning of a device's text: whatever the bytes, the result is valid UTF-8 without a
// control character and within the bound, and text that is already so comes back as is.
#include <string>
#include <string_view>

#include "core/device/device_text.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

namespace {

// UTF-8 decoded by the bits (not by the table the cleaner uses): every sequence complete, in
// its shortest form, neither a surrogate nor past U+10FFFF; and no C0, DEL or C1 control.
bool IsCleanText(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const int tail = lead < 0x80             ? 0
                     : (lead & 0xE0) == 0xC0 ? 1
                     : (lead & 0xF0) == 0xE0 ? 2
                     : (lead & 0xF8) == 0xF0 ? 3
                                             : -1;
    if (tail < 0 || i + static_cast<std::size_t>(tail) >= s.size()) return false;
    char32_t code = lead & (0x7F >> tail);
    for (int k = 1; k <= tail; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kShortest[tail] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
    i += static_cast<std::size_t>(tail) + 1;
  }
  return true;
}

}  // namespace

FUZZ_TARGET(in) {
  const auto bound = in.ConsumeIntegralInRange<std::size_t>(0, 2 * kMaxDeviceTextBytes);
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const std::string cleaned = CleanDeviceText(bytes, bound);

  FUZZ_CHECK(cleaned.size() <= bound);
  FUZZ_CHECK(IsCleanText(cleaned));
  if (IsCleanText(bytes) && bytes.size() <= bound) FUZZ_CHECK(cleaned == bytes);
  // Cleaned text is clean; the bound only ends it sooner.
  FUZZ_CHECK(CleanDeviceText(cleaned, bound) == cleaned);
  FUZZ_CHECK(CleanDeviceText(bytes, bytes.size() * 4).starts_with(cleaned));
}
