#include "core/app/reg_document.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace horalign {
namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr char kHexDigits[] = "0123456789abcdef";

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string_view StripTrailingBackslashes(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

bool SameKey(std::string_view a, std::string_view b) {
  return EqualsNoCase(StripTrailingBackslashes(a), StripTrailingBackslashes(b));
}

int HexValue(char c) {
  c = Lower(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One to `maxDigits` hex digits making up the whole text.
std::optional<std::uint32_t> ParseHexNumber(std::string_view s, std::size_t maxDigits) {
  s = Trim(s);
  if (s.empty() || s.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : s) {
    const int digit = HexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

// "01,02,ff"; blank gives no bytes, a trailing comma is allowed.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view s) {
  std::vector<std::uint8_t> bytes;
  s = Trim(s);
  while (!s.empty()) {
    const auto comma = s.find(',');
    const auto byte = ParseHexNumber(s.substr(0, comma), 2);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*byte));
    if (comma == std::string_view::npos) break;
    s = Trim(s.substr(comma + 1));
  }
  return bytes;
}

// A quoted text at the start of s with \\ and \" escapes; `rest` is what follows it.
std::optional<std::string> ParseQuoted(std::string_view s, std::string_view& rest) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      rest = s.substr(i + 1);
      return out;
    }
    if (s[i] == '\\') {
      if (++i == s.size() || (s[i] != '\\' && s[i] != '"')) return std::nullopt;
    }
    out.push_back(s[i]);
  }
  return std::nullopt;  // no closing quote
}

std::optional<RegValue> ParseData(std::string_view data) {
  if (!data.empty() && data.front() == '"') {
    std::string_view rest;
    const auto text = ParseQuoted(data, rest);
    if (!text || !Trim(rest).empty()) return std::nullopt;
    RegValue value{kRegSz, std::vector<std::uint8_t>(text->begin(), text->end())};
    value.data.push_back(0);
    return value;
  }
  if (StartsWithNoCase(data, "dword:")) {
    const auto number = ParseHexNumber(data.substr(6), 8);
    if (!number) return std::nullopt;
    RegValue value{kRegDword, {}};
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(*number >> (8 * i)));
    return value;
  }
  std::uint32_t type = kRegBinary;
  if (StartsWithNoCase(data, "hex(")) {
    const auto close = data.find("):");
    const auto number = close == std::string_view::npos
                            ? std::nullopt
                            : ParseHexNumber(data.substr(4, close - 4), 8);
    if (!number) return std::nullopt;
    type = *number;
    data.remove_prefix(close + 2);
  } else if (StartsWithNoCase(data, "hex:")) {
    data.remove_prefix(4);
  } else {
    return std::nullopt;  // includes the deletion mark "-"
  }
  auto bytes = ParseHexBytes(data);
  if (!bytes) return std::nullopt;
  return RegValue{type, std::move(*bytes)};
}

// The name of a value line ("" for @) and the data after its '='.
std::optional<std::pair<std::string, std::string_view>> SplitValueLine(std::string_view content) {
  content = Trim(content);
  std::string name;
  std::string_view rest;
  if (!content.empty() && content.front() == '@') {
    rest = content.substr(1);
  } else {
    auto quoted = ParseQuoted(content, rest);
    if (!quoted) return std::nullopt;
    name = std::move(*quoted);
  }
  rest = Trim(rest);
  if (rest.empty() || rest.front() != '=') return std::nullopt;
  return std::make_pair(std::move(name), Trim(rest.substr(1)));
}

// A line's content without its ending.
std::string_view Content(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);
  return raw;
}

// A hex value may go on over lines that end with a backslash.
bool IsHexValueLine(std::string_view content) {
  const auto parts = SplitValueLine(content);
  return parts && StartsWithNoCase(parts->second, "hex");
}

// Drops a trailing backslash (and the blanks after it); false when there is none.
bool DropContinuationMark(std::string& content) {
  std::size_t end = content.size();
  while (end > 0 && IsSpace(content[end - 1])) --end;
  if (end == 0 || content[end - 1] != '\\') return false;
  content.resize(end - 1);
  return true;
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(',');
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 0xf]);
  }
  return out;
}

std::string HexNumber(std::uint32_t value, int minDigits) {
  std::string out;
  do {
    out.insert(out.begin(), kHexDigits[value & 0xf]);
    value >>= 4;
  } while (value != 0);
  while (static_cast<int>(out.size()) < minDigits) out.insert(out.begin(), '0');
  return out;
}

// A string that stands in quotes: one NUL at its end, no line break inside.
bool QuotableString(const RegValue& value) {
  const auto& d = value.data;
  return value.type == kRegSz && !d.empty() && d.back() == 0 &&
         std::none_of(d.begin(), d.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

std::string FormatValue(std::string_view name, const RegValue& value) {
  std::string out = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
  if (QuotableString(value)) {
    return out + "\"" + Escape(std::string(value.data.begin(), value.data.end() - 1)) + "\"";
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 0; i < 4; ++i) number |= std::uint32_t{value.data[i]} << (8 * i);
    return out + "dword:" + HexNumber(number, 8);
  }
  if (value.type == kRegBinary) return out + "hex:" + HexBytes(value.data);
  return out + "hex(" + HexNumber(value.type, 1) + "):" + HexBytes(value.data);
}

}  // namespace

std::optional<RegDocument> RegDocument::Parse(std::string_view text) {
  if (text.size() > kMaxBytes || text.find('\0') != std::string_view::npos) return std::nullopt;
  RegDocument doc;
  bool sawHeader = false;
  std::size_t pos = 0;
  const auto nextLine = [&]() {
    const auto nl = text.find('\n', pos);
    const auto end = nl == std::string_view::npos ? text.size() : nl + 1;
    const auto line = text.substr(pos, end - pos);
    pos = end;
    return line;
  };
  while (pos < text.size()) {
    std::string raw(nextLine());
    std::string content(Content(raw));
    if (doc.lines_.empty() && raw.ends_with("\r\n")) doc.newline_ = "\r\n";
    if (doc.lines_.empty() && content.starts_with(kBom)) content.erase(0, kBom.size());
    if (IsHexValueLine(content)) {
      // Continuation lines are indented, so a line that was added after a dangling mark
      // (a section, a value) is never swallowed.
      while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t') &&
             DropContinuationMark(content)) {
        const auto more = nextLine();
        raw += more;
        content += Content(more);
      }
    }
    Line line = Classify(std::move(raw), content);
    if (!sawHeader && line.kind != LineKind::kBlank) {
      if (!EqualsNoCase(Trim(content), "REGEDIT4")) return std::nullopt;
      line.kind = LineKind::kHeader;
      sawHeader = true;
    }
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

RegDocument::Line RegDocument::Classify(std::string raw, std::string_view content) {
  Line line;
  line.raw = std::move(raw);
  const auto trimmed = Trim(content);
  if (trimmed.empty()) {
    line.kind = LineKind::kBlank;
  } else if (trimmed.front() == '[' && trimmed.back() == ']' && trimmed.size() >= 2) {
    line.kind = LineKind::kSection;
    const auto path = trimmed.substr(1, trimmed.size() - 2);
    if (EqualsNoCase(path, kRoot)) {
      line.key = "";
    } else if (StartsWithNoCase(path, kRoot) && path[kRoot.size()] == '\\') {
      line.key = std::string(path.substr(kRoot.size() + 1));
    }
  } else if (auto parts = SplitValueLine(trimmed)) {
    line.kind = LineKind::kValue;
    line.name = std::move(parts->first);
    line.value = ParseData(parts->second);
  }
  return line;
}

std::optional<std::size_t> RegDocument::FindLine(std::string_view keyPath,
                                                 std::string_view name) const {
  std::optional<std::size_t> found;
  bool inKey = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == LineKind::kSection) inKey = line.key && SameKey(*line.key, keyPath);
    if (inKey && line.kind == LineKind::kValue && EqualsNoCase(line.name, name)) found = i;
  }
  return found;
}

std::optional<RegValue> RegDocument::Find(std::string_view keyPath, std::string_view name) const {
  const auto index = FindLine(keyPath, name);
  return index ? lines_[*index].value : std::nullopt;
}

bool RegDocument::HasKey(std::string_view keyPath) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.kind == LineKind::kSection && line.key && SameKey(*line.key, keyPath);
  });
}

bool RegDocument::Set(std::string_view keyPath, std::string_view name, const RegValue& value) {
  // A line break in either would split the line on the next read, and a NUL would make
  // the whole file unreadable.
  constexpr std::string_view kBreaks("\0\r\n", 3);
  if (name.find_first_of(kBreaks) != std::string_view::npos ||
      keyPath.find_first_of(kBreaks) != std::string_view::npos) {
    return false;
  }
  if (const auto index = FindLine(keyPath, name)) {
    // The name keeps the spelling it has in the file.
    Line& line = lines_[*index];
    const std::string text = FormatValue(line.name, value);
    const bool ended = line.raw.ends_with('\n');
    line = Classify(text + (ended ? newline_ : ""), text);
    return true;
  }
  // After the last non-blank line of the key's last section, or in a new section.
  std::optional<std::size_t> at;
  bool inKey = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == LineKind::kSection) inKey = line.key && SameKey(*line.key, keyPath);
    if (inKey && line.kind != LineKind::kBlank) at = i + 1;
  }
  Insert(at ? *at : AppendSection(keyPath), FormatValue(name, value));
  return true;
}

std::size_t RegDocument::AppendSection(std::string_view keyPath) {
  const bool hasHeader = std::any_of(lines_.begin(), lines_.end(),
                                     [](const Line& l) { return l.kind == LineKind::kHeader; });
  if (!hasHeader) {
    lines_.insert(lines_.begin(), Line{"REGEDIT4" + newline_, LineKind::kHeader, {}, {}, {}});
    lines_.insert(lines_.begin() + 1, Line{newline_, LineKind::kBlank, {}, {}, {}});
  }
  if (lines_.back().kind != LineKind::kBlank) Insert(lines_.size(), "");
  const std::string section = "[" + std::string(kRoot) + "\\" + std::string(keyPath) + "]";
  Insert(lines_.size(), section);
  return lines_.size();
}

void RegDocument::Insert(std::size_t at, std::string text) {
  if (at > 0 && !lines_[at - 1].raw.ends_with('\n')) {
    // A last line cut after its CR gets the rest of its break, not a second CR.
    std::string& before = lines_[at - 1].raw;
    if (before.ends_with('\r') && newline_ == "\r\n") before.pop_back();
    before += newline_;
  }
  const std::string content = text;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                Classify(std::move(text) + newline_, content));
}

std::string RegDocument::Text() const {
  std::string out;
  for (const Line& line : lines_) out += line.raw;
  return out;
}

}  // namespace horalign
