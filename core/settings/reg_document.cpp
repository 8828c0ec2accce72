#include "core/settings/reg_document.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/settings/utf16.h"

namespace horalign {
namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
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

// A string that stands in quotes: one NUL at its end, no line break inside, and in a
// UTF-16 file UTF-8 text.
bool QuotableString(const RegValue& value, bool utf8Only) {
  const auto& d = value.data;
  return value.type == kRegSz && !d.empty() && d.back() == 0 &&
         std::none_of(d.begin(), d.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; }) &&
         (!utf8Only || IsUtf8(std::string_view(reinterpret_cast<const char*>(d.data()), d.size())));
}

std::string FormatValue(std::string_view name, const RegValue& value, bool utf8Only) {
  std::string out = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
  if (QuotableString(value, utf8Only)) {
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

// FNV-1a over the lower-case text: equal for names that compare equal.
std::uint32_t NameHash(std::string_view name) {
  std::uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(Lower(c))) * 16777619u;
  return hash;
}

std::uint32_t KeyHash(std::string_view keyPath) {
  return NameHash(StripTrailingBackslashes(keyPath));
}

bool IsHeader(std::string_view content) {
  const auto trimmed = Trim(content);
  return EqualsNoCase(trimmed, kHeader4) || EqualsNoCase(trimmed, kHeader5);
}

std::size_t LineEnd(std::string_view text, std::size_t pos) {
  const auto nl = text.find('\n', pos);
  return nl == std::string_view::npos ? text.size() : nl + 1;
}

// The key path of a section under HKEY_LOCAL_MACHINE; nullopt for any other root.
std::optional<std::string_view> SectionKey(std::string_view content) {
  const auto trimmed = Trim(content);
  const auto path = trimmed.substr(1, trimmed.size() - 2);
  if (EqualsNoCase(path, kRoot)) return std::string_view();
  if (StartsWithNoCase(path, kRoot) && path.size() > kRoot.size() && path[kRoot.size()] == '\\') {
    return path.substr(kRoot.size() + 1);
  }
  return std::nullopt;
}

// One logical line from pos: a hex value goes on over indented lines while the text so
// far ends with a backslash. Moves pos past it and gives its content without the endings
// and the continuation marks.
std::string TakeLine(std::string_view text, std::size_t& pos) {
  std::size_t end = LineEnd(text, pos);
  std::string content(Content(text.substr(pos, end - pos)));
  pos = end;
  if (!IsHexValueLine(content)) return content;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t') &&
         DropContinuationMark(content)) {
    end = LineEnd(text, pos);
    content += Content(text.substr(pos, end - pos));
    pos = end;
  }
  return content;
}

}  // namespace

std::optional<RegDocument> RegDocument::Parse(std::string_view bytes) {
  // The offsets of a line fit 32 bits with room for the values a program adds.
  static_assert(kMaxBytes * 4 < std::numeric_limits<std::uint32_t>::max());
  if (bytes.size() > kMaxBytes) return std::nullopt;
  RegDocument doc;
  if (bytes.starts_with(kUtf16Mark)) {
    auto text = Utf16ToUtf8(bytes.substr(kUtf16Mark.size()));
    if (!text) return std::nullopt;
    doc.text_ = std::move(*text);
    doc.encoding_ = Encoding::kUtf16;
  } else if (bytes.starts_with(kUtf8Mark)) {
    doc.text_ = bytes.substr(kUtf8Mark.size());
    doc.encoding_ = Encoding::kUtf8Marked;
  } else {
    doc.text_ = bytes;
  }
  const std::string_view text = doc.text_;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.substr(0, LineEnd(text, 0)).ends_with("\r\n")) doc.newline_ = "\r\n";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t begin = pos;
    const std::string content = TakeLine(text, pos);
    if (Trim(content).empty()) continue;
    if (doc.lines_.empty() && !IsHeader(content)) return std::nullopt;
    Line line = doc.lines_.empty() ? Line{} : Describe(content);
    if (doc.lines_.empty()) line.kind = LineKind::kHeader;
    line.begin = static_cast<std::uint32_t>(begin);
    line.end = static_cast<std::uint32_t>(pos);
    doc.lines_.push_back(line);
  }
  return doc;
}

RegDocument::Line RegDocument::Describe(std::string_view content) {
  Line line;
  const auto trimmed = Trim(content);
  if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
    line.kind = LineKind::kSection;
    line.hash = KeyHash(SectionKey(trimmed).value_or(""));
  } else if (const auto parts = SplitValueLine(trimmed)) {
    line.kind = LineKind::kValue;
    line.hash = NameHash(parts->first);
  }
  return line;
}

std::string RegDocument::Content(const Line& line) const {
  std::size_t pos = line.begin;
  return TakeLine(std::string_view(text_).substr(0, line.end), pos);
}

bool RegDocument::InKey(const Line& section, std::string_view keyPath) const {
  if (section.hash != KeyHash(keyPath)) return false;
  const std::string content = Content(section);
  const auto key = SectionKey(content);
  return key && SameKey(*key, keyPath);
}

std::optional<std::size_t> RegDocument::FindLine(std::string_view keyPath,
                                                 std::string_view name) const {
  std::optional<std::size_t> found;
  const std::uint32_t nameHash = NameHash(name);
  bool inKey = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == LineKind::kSection) inKey = InKey(line, keyPath);
    if (!inKey || line.kind != LineKind::kValue || line.hash != nameHash) continue;
    const std::string content = Content(line);
    const auto parts = SplitValueLine(content);
    if (parts && EqualsNoCase(parts->first, name)) found = i;
  }
  return found;
}

std::optional<RegValue> RegDocument::Find(std::string_view keyPath, std::string_view name) const {
  const auto index = FindLine(keyPath, name);
  if (!index) return std::nullopt;
  const std::string content = Content(lines_[*index]);
  return ParseData(SplitValueLine(content)->second);
}

bool RegDocument::HasKey(std::string_view keyPath) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.kind == LineKind::kSection && InKey(line, keyPath);
  });
}

bool RegDocument::Set(std::string_view keyPath, std::string_view name, const RegValue& value) {
  // A line break in either would split the line on the next read, and a NUL would make
  // the whole file unreadable; a UTF-16 file can hold only what UTF-8 can say.
  constexpr std::string_view kBreaks("\0\r\n", 3);
  const bool utf8Only = encoding_ == Encoding::kUtf16;
  if (name.find_first_of(kBreaks) != std::string_view::npos ||
      keyPath.find_first_of(kBreaks) != std::string_view::npos ||
      (utf8Only && (!IsUtf8(name) || !IsUtf8(keyPath)))) {
    return false;
  }
  if (const auto index = FindLine(keyPath, name)) {
    // The name keeps the spelling it has in the file.
    Line& line = lines_[*index];
    const std::string text = FormatValue(SplitValueLine(Content(line))->first, value, utf8Only) +
                             (text_[line.end - 1] == '\n' ? newline_ : "");
    Splice(line.begin, line.end, text);
    line.end = static_cast<std::uint32_t>(line.begin + text.size());
    return true;
  }
  // After the last line of the key's last section, or in a new section.
  std::optional<std::size_t> at;
  bool inKey = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == LineKind::kSection) inKey = InKey(lines_[i], keyPath);
    if (inKey) at = i + 1;
  }
  const std::size_t index = at ? *at : AppendSection(keyPath);
  const std::size_t offset = index > 0 ? lines_[index - 1].end : 0;
  InsertLine(index, offset, FormatValue(name, value, utf8Only));
  return true;
}

std::size_t RegDocument::AppendSection(std::string_view keyPath) {
  if (lines_.empty()) {  // a blank document
    const std::string header =
        std::string(encoding_ == Encoding::kUtf16 ? kHeader5 : kHeader4) + newline_;
    Splice(0, 0, header + newline_);
    lines_.push_back(Line{0, static_cast<std::uint32_t>(header.size()), 0, LineKind::kHeader});
  }
  // A blank line before the section, unless the text already ends with one.
  const std::string_view text = text_;
  const auto lastStart = text.rfind('\n', text.empty() ? 0 : text.size() - 2);
  const auto last = text.substr(lastStart == std::string_view::npos ? 0 : lastStart + 1);
  if (!Trim(last).empty()) {
    InsertLine(lines_.size(), text_.size(), "");
    lines_.pop_back();  // a blank line has no record
  }
  InsertLine(lines_.size(), text_.size(),
             "[" + std::string(kRoot) + "\\" + std::string(keyPath) + "]");
  return lines_.size();
}

void RegDocument::InsertLine(std::size_t index, std::size_t offset, const std::string& content) {
  if (offset > 0 && text_[offset - 1] != '\n') {
    // A last line cut after its CR gets the rest of its break, not a second CR.
    const std::string ending = text_[offset - 1] == '\r' && newline_ == "\r\n" ? "\n" : newline_;
    Splice(offset, offset, ending);
    if (index > 0 && lines_[index - 1].end == offset) lines_[index - 1].end += ending.size();
    offset += ending.size();
  }
  const std::string text = content + newline_;
  Splice(offset, offset, text);
  Line line = Describe(content);
  line.begin = static_cast<std::uint32_t>(offset);
  line.end = static_cast<std::uint32_t>(offset + text.size());
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), line);
}

void RegDocument::Splice(std::size_t from, std::size_t to, std::string_view with) {
  text_.replace(from, to - from, with);
  for (Line& line : lines_) {
    if (line.begin < to) continue;
    line.begin = static_cast<std::uint32_t>(line.begin - (to - from) + with.size());
    line.end = static_cast<std::uint32_t>(line.end - (to - from) + with.size());
  }
}

std::string RegDocument::Text() const {
  switch (encoding_) {
    case Encoding::kUtf8Marked:
      return std::string(kUtf8Mark) + text_;
    case Encoding::kUtf16:
      // Read from UTF-16 and changed only by UTF-8 lines, the text is always UTF-8.
      return std::string(kUtf16Mark) + Utf8ToUtf16(text_).value_or("");
    case Encoding::kBytes:
      break;
  }
  return text_;
}

}  // namespace horalign
