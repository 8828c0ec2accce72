#include "core/history/history_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/settings/com_ports.h"
#include "core/util/civil.h"
#include "core/util/json_text.h"

namespace horalign {
namespace {

constexpr std::array<std::pair<HistoryAction, const char*>, 6> kActionWords = {{
    {HistoryAction::kConnect, "connect"},
    {HistoryAction::kWrite, "write"},
    {HistoryAction::kPush, "push"},
    {HistoryAction::kRead, "read"},
    {HistoryAction::kSetPcClock, "set-pc-clock"},
    {HistoryAction::kRefusal, "refusal"},
}};
constexpr std::array<std::pair<PushCause, const char*>, 3> kCauseWords = {{
    {PushCause::kOffsetChange, "offset-change"},
    {PushCause::kClockStep, "clock-step"},
    {PushCause::kResume, "resume"},
}};
constexpr int kMaxPort = 255;
// The instants a four-digit year can name, from 0001-01-01 to the end of 9999.
constexpr std::int64_t kFirstUtcMs = -62'135'596'800'000;
constexpr std::int64_t kLastUtcMs = 253'402'300'799'999;
// Nesting a later version might use inside a member that is skipped; deeper is not a line.
constexpr int kMaxDepth = 9;

// The length of the UTF-8 sequence at text[i], or 0 when the bytes there are not one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The text as UTF-8: a byte that is not part of a sequence (device noise) becomes its
// Latin-1 letter, so a line keeps every byte a device sent and is always valid JSON.
std::string AsUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = Utf8Length(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      AppendUtf8(out, static_cast<unsigned char>(text[i++]));
    }
  }
  return out;
}

void AppendNumber(std::string& out, double value) {
  std::array<char, 32> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  if (ec == std::errc()) out.append(buf.data(), end);
}

// A whole number that fits T, or nothing (a fraction, a text, a number out of range).
template <typename T>
std::optional<T> WholeOf(const Json& v) {
  if (!v.is_number_integer()) return std::nullopt;
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
    return static_cast<T>(n);
  }
  const auto n = v.get<std::int64_t>();
  if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max()) return std::nullopt;
  return static_cast<T>(n);
}

std::optional<double> FigureOf(const Json& v) {
  if (!v.is_number()) return std::nullopt;
  const double d = v.get<double>();
  return std::isfinite(d) ? std::optional(d) : std::nullopt;
}

std::optional<int> PortOf(const std::string& name) {
  if (!name.starts_with("COM") || name.size() < 4 || name.size() > 6 || name[3] < '1' ||
      name[3] > '9') {
    return std::nullopt;
  }
  int port = 0;
  const char* end = name.data() + name.size();
  const auto [ptr, ec] = std::from_chars(name.data() + 3, end, port);
  if (ec != std::errc() || ptr != end || port > kMaxPort) return std::nullopt;
  return port;
}

// What the members of a line said, before it is known to be a whole entry.
struct Fields {
  std::optional<std::int64_t> version, utcMs;
  bool hasPort = false, hasAction = false, hasOutcome = false, bad = false;
};

void TakeField(const std::string& key, const Json& v, HistoryEntry& e, Fields& f) {
  const bool text = v.is_string();
  const std::string words = text ? v.get<std::string>() : std::string();
  const auto need = [&f](bool ok) { f.bad |= !ok; };
  const auto optionalNumber = [&](std::optional<double>& into) {
    if (v.is_null()) return;
    into = FigureOf(v);
    need(into.has_value());
  };
  if (key == "v") {
    f.version = WholeOf<std::int64_t>(v);
  } else if (key == "utcMs") {
    f.utcMs = WholeOf<std::int64_t>(v);
    if (f.utcMs && (*f.utcMs < kFirstUtcMs || *f.utcMs > kLastUtcMs)) f.utcMs.reset();
  } else if (key == "port") {
    const auto port = text ? PortOf(words) : std::nullopt;
    f.hasPort = port.has_value();
    e.port = port.value_or(0);
  } else if (key == "model" || key == "sn" || key == "status") {
    need(text);
    (key == "model" ? e.model : key == "sn" ? e.serial : e.status) = words;
  } else if (key == "action") {
    f.hasAction = false;
    for (const auto& [action, word] : kActionWords) {
      if (text && words == word) e.action = action, f.hasAction = true;
    }
  } else if (key == "cause") {
    e.cause = PushCause::kNone;
    bool known = false;
    for (const auto& [cause, word] : kCauseWords) {
      if (text && words == word) e.cause = cause, known = true;
    }
    need(known);
  } else if (key == "outcome") {
    f.hasOutcome = text && (words == "ok" || words == "failed");
    e.ok = words == "ok";
  } else if (key == "msPastSecond") {
    const auto ms = WholeOf<int>(v);
    need(ms && *ms >= 0 && *ms <= 999);
    e.msPastSecond = ms.value_or(-1);
  } else if (key == "offsetBefore") {
    optionalNumber(e.offsetBefore);
  } else if (key == "offsetAfter") {
    optionalNumber(e.offsetAfter);
  } else if (key == "driftPerDay") {
    optionalNumber(e.driftPerDay);
  }
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string NumberText(const std::optional<double>& value) {
  std::string out;
  if (value) AppendNumber(out, *value);
  return out;
}

}  // namespace

const char* HistoryActionWord(HistoryAction action) {
  for (const auto& [a, word] : kActionWords) {
    if (a == action) return word;
  }
  return "";
}

const char* PushCauseWord(PushCause cause) {
  for (const auto& [c, word] : kCauseWords) {
    if (c == cause) return word;
  }
  return "";
}

std::string IsoUtcText(std::int64_t utcMs) {
  const CivilTime t = FromEpochMicros(std::clamp(utcMs, kFirstUtcMs, kLastUtcMs) * 1000);
  return ZeroPad(t.year, 4) + "-" + ZeroPad(t.month, 2) + "-" + ZeroPad(t.day, 2) + "T" +
         ZeroPad(t.hour, 2) + ":" + ZeroPad(t.minute, 2) + ":" + ZeroPad(t.second, 2) + "." +
         ZeroPad(t.Millisecond(), 3) + "Z";
}

std::string PortName(int port) {
  return ComName(port);
}

std::string EncodeHistoryLine(const HistoryEntry& e) {
  Json line{{"v", kHistoryVersion},
            {"time", IsoUtcText(e.utcMs)},
            {"utcMs", e.utcMs},
            {"port", PortName(e.port)},
            {"model", AsUtf8(e.model)},
            {"sn", AsUtf8(e.serial)},
            {"action", HistoryActionWord(e.action)}};
  if (e.cause != PushCause::kNone) line["cause"] = PushCauseWord(e.cause);
  line["outcome"] = e.ok ? "ok" : "failed";
  line["status"] = AsUtf8(e.status);
  if (e.msPastSecond >= 0 && e.msPastSecond <= 999) line["msPastSecond"] = e.msPastSecond;
  const std::pair<const char*, const std::optional<double>*> numbers[] = {
      {"offsetBefore", &e.offsetBefore},
      {"offsetAfter", &e.offsetAfter},
      {"driftPerDay", &e.driftPerDay}};
  for (const auto& [key, value] : numbers) {
    // JSON has no infinities: a figure that is not finite is not known.
    if (*value && std::isfinite(**value)) line[key] = **value;
  }
  return JsonLine(line) + "\n";
}

DecodedLine DecodeHistoryLine(std::string_view line) {
  DecodedLine out;
  std::string error;
  const std::optional<Json> parsed = ParseJsonText(line, error, kMaxDepth);
  if (!parsed || !parsed->is_object()) return out;
  Fields f;
  for (const auto& [key, value] : parsed->items()) TakeField(key, value, out.entry, f);
  if (f.version && *f.version > kHistoryVersion) {
    out.verdict = LineVerdict::kNewer;
  } else if (f.version == kHistoryVersion && f.utcMs && f.hasPort && f.hasAction && f.hasOutcome &&
             !f.bad) {
    out.entry.utcMs = *f.utcMs;
    out.verdict = LineVerdict::kEntry;
  }
  return out;
}

std::string HistoryCsvHeader() {
  return "Time (UTC),Port,Model,S/N,Action,Cause,Outcome,Status,Ms past second,"
         "Offset before (s),Offset after (s),Drift (s/day)\r\n";
}

std::string HistoryCsvRow(const HistoryEntry& e) {
  return IsoUtcText(e.utcMs) + "," + PortName(e.port) + "," + CsvField(e.model) + "," +
         CsvField(e.serial) + "," + HistoryActionWord(e.action) + "," + PushCauseWord(e.cause) +
         "," + (e.ok ? "ok" : "failed") + "," + CsvField(e.status) + "," +
         (e.msPastSecond >= 0 ? std::to_string(e.msPastSecond) : "") + "," +
         NumberText(e.offsetBefore) + "," + NumberText(e.offsetAfter) + "," +
         NumberText(e.driftPerDay) + "\r\n";
}

}  // namespace horalign
