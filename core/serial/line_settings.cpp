#include "core/serial/line_settings.h"

#include <cctype>
#include <charconv>
#include <string_view>

namespace horalign {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<int> ParseInt(std::string_view s) {
  s = Trim(s);
  int value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(std::string_view text) {
  LineSettings out;
  std::string_view parts[4];
  int count = 0;
  while (true) {
    if (count == 4) return std::nullopt;  // more than four parts
    const auto comma = text.find(',');
    parts[count++] = text.substr(0, comma);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }

  const auto baud = ParseInt(parts[0]);
  if (!baud || *baud <= 0) return std::nullopt;
  out.baud = *baud;

  if (count > 1) {
    const auto p = Trim(parts[1]);
    if (p.size() != 1) return std::nullopt;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
    if (std::string_view("NEOMS").find(c) == std::string_view::npos) return std::nullopt;
    out.parity = c;
  }
  if (count > 2) {
    const auto d = ParseInt(parts[2]);
    if (!d || *d < 5 || *d > 8) return std::nullopt;
    out.dataBits = *d;
  }
  if (count > 3) {
    const auto s = ParseInt(parts[3]);
    if (!s || (*s != 1 && *s != 2)) return std::nullopt;
    out.stopBits = *s;
  }
  return out;
}

}  // namespace horalign
