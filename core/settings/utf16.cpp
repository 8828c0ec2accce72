#include "core/settings/utf16.h"

#include <cstdint>

namespace horalign {
namespace {

constexpr std::uint32_t kSurrogateLow = 0xD800;
constexpr std::uint32_t kSurrogateTrail = 0xDC00;
constexpr std::uint32_t kSurrogateEnd = 0xE000;

void AppendUtf8(std::string& out, std::uint32_t code) {
  const auto put = [&out](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

void AppendUnit(std::string& out, std::uint32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

// The code point that starts at text[pos], moving pos past it; nullopt for anything that
// is not the shortest form of a scalar value.
std::optional<std::uint32_t> NextCodePoint(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  int length = 0;
  std::uint32_t code = 0;
  std::uint32_t least = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < static_cast<std::size_t>(length)) return std::nullopt;
  for (int k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= kSurrogateLow && code < kSurrogateEnd)) {
    return std::nullopt;
  }
  pos += length;
  return code;
}

}  // namespace

std::optional<std::string> Utf16ToUtf8(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const auto unitAt = [&bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  };
  std::string out;
  out.reserve(bytes.size() / 2 * 3);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint32_t code = unitAt(i);
    if (code >= kSurrogateLow && code < kSurrogateEnd) {
      if (code >= kSurrogateTrail || i + 2 >= bytes.size()) return std::nullopt;
      const std::uint32_t trail = unitAt(i + 2);
      if (trail < kSurrogateTrail || trail >= kSurrogateEnd) return std::nullopt;
      code = 0x10000 + ((code - kSurrogateLow) << 10) + (trail - kSurrogateTrail);
      i += 2;
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::optional<std::string> Utf8ToUtf16(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t pos = 0; pos < text.size();) {
    const auto code = NextCodePoint(text, pos);
    if (!code) return std::nullopt;
    if (*code < 0x10000) {
      AppendUnit(out, *code);
    } else {
      AppendUnit(out, kSurrogateLow + ((*code - 0x10000) >> 10));
      AppendUnit(out, kSurrogateTrail + ((*code - 0x10000) & 0x3FF));
    }
  }
  return out;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (!NextCodePoint(text, pos)) return false;
  }
  return true;
}

}  // namespace horalign
