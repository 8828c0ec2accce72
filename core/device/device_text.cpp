#include "core/device/device_text.h"

namespace horalign {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence that `s` begins with (the table of
// well-formed byte sequences of the Unicode standard), or minus the length of its longest
// start that could have begun one (at least one byte).
int SequenceLength(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t tail = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    tail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    tail = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    tail = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return -1;
  }
  for (std::size_t i = 1; i <= tail; ++i) {
    const unsigned char min = i == 1 ? low : 0x80, max = i == 1 ? high : 0xBF;
    if (i >= s.size() || byte(i) < min || byte(i) > max) return -static_cast<int>(i);
  }
  return static_cast<int>(tail) + 1;
}

// C0 and DEL in one byte, C1 (U+0080 to U+009F) in two.
bool IsControl(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return lead < 0x20 || lead == 0x7F;
  return character.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
}

std::string Escaped(std::string_view character) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : character) {
    const auto b = static_cast<unsigned char>(c);
    out += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
  }
  return out;
}

}  // namespace

std::string CleanDeviceText(std::string_view bytes, std::size_t maxBytes) {
  std::string out;
  while (!bytes.empty()) {
    const int length = SequenceLength(bytes);
    const std::size_t taken = static_cast<std::size_t>(length < 0 ? -length : length);
    const std::string_view character = bytes.substr(0, taken);
    const std::string piece = length < 0             ? std::string(kReplacement)
                              : IsControl(character) ? Escaped(character)
                                                     : std::string(character);
    if (out.size() + piece.size() > maxBytes) break;
    out += piece;
    bytes.remove_prefix(taken);
  }
  return out;
}

}  // namespace horalign
