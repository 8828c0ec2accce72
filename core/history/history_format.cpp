#include "core/history/history_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/settings/com_ports.h"
#include "core/util/civil.h"

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
// Nesting a later version might use inside a value that is skipped; deeper is not a line.
constexpr int kMaxDepth = 8;

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

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (const std::size_t n = Utf8Length(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    } else {
      AppendUtf8(out, c);  // a byte that is not UTF-8 (device noise) as its Latin-1 letter
    }
    ++i;
  }
  out += '"';
}

void AppendNumber(std::string& out, double value) {
  std::array<char, 32> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  if (ec == std::errc()) out.append(buf.data(), end);
}

// One value of the flat object: a text, a number (its token), true/false, null, or a
// nested value a later version may have added (skipped).
struct JsonValue {
  enum class Kind { kString, kNumber, kBool, kNull, kNested } kind = Kind::kNull;
  std::string text;  // a string's characters, or a number's token
  bool flag = false;
};

class LineParser {
 public:
  explicit LineParser(std::string_view line) : s_(line) {}

  // Calls field(key, value) for each member; false when the line is not one JSON object.
  template <typename Field>
  bool Object(Field&& field) {
    SkipBlanks();
    if (!Take('{')) return false;
    SkipBlanks();
    if (!Take('}')) {
      do {
        SkipBlanks();
        std::string key;
        JsonValue value;
        if (!String(key)) return false;
        SkipBlanks();
        if (!Take(':') || !Value(value, 0)) return false;
        field(key, value);
        SkipBlanks();
      } while (Take(','));
      if (!Take('}')) return false;
    }
    SkipBlanks();
    return i_ == s_.size();
  }

 private:
  bool Take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void SkipBlanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool Word(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool Value(JsonValue& v, int depth) {
    SkipBlanks();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '"') {
      v.kind = JsonValue::Kind::kString;
      return String(v.text);
    }
    if (c == '{' || c == '[') {
      v.kind = JsonValue::Kind::kNested;
      return Nested(depth + 1);
    }
    if (Word("true") || Word("false")) {
      v.kind = JsonValue::Kind::kBool;
      v.flag = c == 't';
      return true;
    }
    if (Word("null")) return true;
    const std::size_t start = i_;
    while (i_ < s_.size() && (std::string_view("+-.eE").find(s_[i_]) != std::string_view::npos ||
                              (s_[i_] >= '0' && s_[i_] <= '9'))) {
      ++i_;
    }
    v.kind = JsonValue::Kind::kNumber;
    v.text = s_.substr(start, i_ - start);
    return i_ > start;
  }

  bool Nested(int depth) {
    if (depth > kMaxDepth) return false;
    const char close = s_[i_] == '{' ? '}' : ']';
    ++i_;
    SkipBlanks();
    if (Take(close)) return true;
    do {
      SkipBlanks();
      JsonValue ignored;
      if (close == '}') {
        if (!String(ignored.text)) return false;
        SkipBlanks();
        if (!Take(':')) return false;
      }
      if (!Value(ignored, depth)) return false;
      SkipBlanks();
    } while (Take(','));
    return Take(close);
  }

  bool Hex4(std::uint32_t& cp) {
    if (i_ + 4 > s_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      const int d = h >= '0' && h <= '9'   ? h - '0'
                    : h >= 'a' && h <= 'f' ? h - 'a' + 10
                    : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      cp = cp * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
  }

  bool Escape(std::string& out) {
    if (i_ >= s_.size()) return false;
    const char e = s_[i_++];
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    if (const auto k = kFrom.find(e); k != std::string_view::npos) {
      out += kTo[k];
      return true;
    }
    std::uint32_t cp = 0;
    if (e != 'u' || !Hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate alone
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(out, cp);
    return true;
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c == '\\') {
        ++i_;
        if (!Escape(out)) return false;
      } else {
        const std::size_t n = c < 0x20 ? 0 : Utf8Length(s_, i_);
        if (n == 0) return false;  // a control character or a byte that is not UTF-8
        out.append(s_.substr(i_, n));
        i_ += n;
      }
    }
    return false;  // cut inside the text
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

template <typename T>
std::optional<T> NumberOf(const JsonValue& v) {
  if (v.kind != JsonValue::Kind::kNumber) return std::nullopt;
  T out{};
  const char* end = v.text.data() + v.text.size();
  const auto [ptr, ec] = std::from_chars(v.text.data(), end, out);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(out)) return std::nullopt;
  }
  return out;
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

void TakeField(const std::string& key, const JsonValue& v, HistoryEntry& e, Fields& f) {
  const bool text = v.kind == JsonValue::Kind::kString;
  const auto need = [&f](bool ok) { f.bad |= !ok; };
  const auto optionalNumber = [&](std::optional<double>& into) {
    if (v.kind == JsonValue::Kind::kNull) return;
    into = NumberOf<double>(v);
    need(into.has_value());
  };
  if (key == "v") {
    f.version = NumberOf<std::int64_t>(v);
  } else if (key == "utcMs") {
    f.utcMs = NumberOf<std::int64_t>(v);
    if (f.utcMs && (*f.utcMs < kFirstUtcMs || *f.utcMs > kLastUtcMs)) f.utcMs.reset();
  } else if (key == "port") {
    const auto port = text ? PortOf(v.text) : std::nullopt;
    f.hasPort = port.has_value();
    e.port = port.value_or(0);
  } else if (key == "model" || key == "sn" || key == "status") {
    need(text);
    (key == "model" ? e.model : key == "sn" ? e.serial : e.status) = v.text;
  } else if (key == "action") {
    f.hasAction = false;
    for (const auto& [action, word] : kActionWords) {
      if (text && v.text == word) e.action = action, f.hasAction = true;
    }
  } else if (key == "cause") {
    e.cause = PushCause::kNone;
    bool known = false;
    for (const auto& [cause, word] : kCauseWords) {
      if (text && v.text == word) e.cause = cause, known = true;
    }
    need(known);
  } else if (key == "outcome") {
    f.hasOutcome = text && (v.text == "ok" || v.text == "failed");
    e.ok = v.text == "ok";
  } else if (key == "msPastSecond") {
    const auto ms = NumberOf<int>(v);
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
  std::string out = "{\"v\":" + std::to_string(kHistoryVersion) + ",\"time\":\"" +
                    IsoUtcText(e.utcMs) + "\",\"utcMs\":" + std::to_string(e.utcMs) +
                    ",\"port\":\"" + PortName(e.port) + "\",\"model\":";
  AppendJsonString(out, e.model);
  out += ",\"sn\":";
  AppendJsonString(out, e.serial);
  out += ",\"action\":\"" + std::string(HistoryActionWord(e.action)) + "\"";
  if (e.cause != PushCause::kNone)
    out += ",\"cause\":\"" + std::string(PushCauseWord(e.cause)) + "\"";
  out += e.ok ? ",\"outcome\":\"ok\",\"status\":" : ",\"outcome\":\"failed\",\"status\":";
  AppendJsonString(out, e.status);
  if (e.msPastSecond >= 0 && e.msPastSecond <= 999)
    out += ",\"msPastSecond\":" + std::to_string(e.msPastSecond);
  const std::pair<const char*, const std::optional<double>*> numbers[] = {
      {"offsetBefore", &e.offsetBefore},
      {"offsetAfter", &e.offsetAfter},
      {"driftPerDay", &e.driftPerDay}};
  for (const auto& [key, value] : numbers) {
    // JSON has no infinities: a figure that is not finite is not known.
    if (!*value || !std::isfinite(**value)) continue;
    out += ",\"" + std::string(key) + "\":";
    AppendNumber(out, **value);
  }
  return out + "}\n";
}

DecodedLine DecodeHistoryLine(std::string_view line) {
  DecodedLine out;
  Fields f;
  LineParser parser(line);
  if (!parser.Object(
          [&](const std::string& key, const JsonValue& v) { TakeField(key, v, out.entry, f); })) {
    return out;
  }
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
