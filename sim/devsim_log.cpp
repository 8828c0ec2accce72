#include "sim/devsim_log.h"

#include <cinttypes>

#include "core/settings/com_ports.h"
#include "core/util/civil.h"

namespace horalign::sim {

namespace {

// Floor division, so that times before 1970 and negative offsets split correctly.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

std::string DateTime(const CivilTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace

std::string IsoUtcMicros(std::int64_t epochUs) {
  const CivilTime t = FromEpochMicros(epochUs);
  char micros[16];
  std::snprintf(micros, sizeof micros, ".%06dZ", t.micro);
  return DateTime(t) + micros;
}

std::string IsoMillis(std::int64_t epochUs, bool utc) {
  const CivilTime t = FromEpochMicros(FloorDiv(epochUs, 1000) * 1000);
  char millis[16];
  std::snprintf(millis, sizeof millis, ".%03d%s", t.micro / 1000, utc ? "Z" : "");
  return DateTime(t) + millis;
}

std::string MillisText(std::int64_t us) {
  const std::uint64_t magnitude =
      us < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
  char text[40];
  std::snprintf(text, sizeof text, "%s%" PRIu64 ".%03" PRIu64, us < 0 ? "-" : "", magnitude / 1000,
                magnitude % 1000);
  return text;
}

std::string MillisPastSecond(std::int64_t epochUs) {
  return MillisText(epochUs - FloorDiv(epochUs, 1'000'000) * 1'000'000);
}

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

void DevsimLog::Write(std::int64_t epochUs, int com, std::string_view kind,
                      std::initializer_list<std::string_view> fields) {
  std::string line = IsoUtcMicros(epochUs);
  line += '\t';
  line += com > 0 ? ComName(com) : std::string("-");
  line += '\t';
  line += kind;
  for (const std::string_view field : fields) {
    line += '\t';
    line += field;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace horalign::sim
