// The settings file: any text parsed, a few values written into it, the result parsed
// again. Every value set reads back equal, and no line the writes did not aim at is lost.
//
// Input: the file's text up to the first NUL byte (a file holding a NUL is refused
// anyway), then the bytes that choose whether the file is UTF-16 and the writes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/settings/reg_document.h"
#include "core/settings/registry.h"
#include "core/settings/utf16.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;

namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The key as the document compares it.
std::string KeyId(std::string key) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return Lower(std::move(key));
}

// The text of a file's bytes, without the mark of its encoding.
std::string Decoded(const std::string& bytes) {
  if (bytes.starts_with("\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2)).value_or("");
  return bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::istringstream text(Decoded(bytes));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line); lines.push_back(std::move(line))) {
    // As the document reads a line: without the CRs that end it.
    while (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

// Every line of `before` is still in `after`, in order, unless it could be the one line
// (with its continuation lines) that held the value named `name`.
void CheckOtherLinesKept(const std::string& before, const std::string& after,
                         const std::string& name) {
  const auto old = Lines(before);
  const auto now = Lines(after);
  // The name as a value line spells it: in quotes, with \\ and \" escapes.
  std::string spelled;
  for (char c : Lower(name)) {
    if (c == '\\' || c == '"') spelled.push_back('\\');
    spelled.push_back(c);
  }
  std::size_t j = 0;
  for (const std::string& line : old) {
    const bool aimedAt = Lower(line).find(spelled) != std::string::npos ||
                         (name.empty() && line.find('@') != std::string::npos) ||
                         (!line.empty() && (line[0] == ' ' || line[0] == '\t'));
    if (aimedAt) continue;
    // The earliest match keeps the most room for the lines after it.
    const auto found = std::find(now.begin() + static_cast<std::ptrdiff_t>(j), now.end(), line);
    FUZZ_CHECK(found != now.end());
    j = static_cast<std::size_t>(found - now.begin()) + 1;
  }
}

std::string ChooseKey(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return kConfigKey;
    case 1:
      return kPortsKey;
    case 2:
      return "software\\QUORVANE\\horalign\\config\\";
    default:
      return in.ConsumeRandomLengthString(40);
  }
}

std::string ChooseName(FuzzedDataProvider& in) {
  static const char* const kNames[] = {kValueConnectionMode,
                                       kValueUsedComPorts,
                                       kValueUpdateInterval,
                                       "update interval",
                                       "COM3",
                                       ""};
  const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames));
  return pick < std::size(kNames) ? kNames[pick] : in.ConsumeRandomLengthString(24);
}

RegValue ChooseValue(FuzzedDataProvider& in) {
  RegValue value;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: {
      const std::string text = in.ConsumeRandomLengthString(40);
      value = {kRegSz, std::vector<std::uint8_t>(text.begin(), text.end())};
      value.data.push_back(0);
      break;
    }
    case 1:
      value = {kRegDword, in.ConsumeBytes<std::uint8_t>(4)};
      value.data.resize(4);
      break;
    case 2:
      value = {kRegBinary, in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>())};
      break;
    default:
      value.type = in.ConsumeIntegral<std::uint32_t>();
      value.data = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
      break;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::size_t textEnd = std::find(bytes, bytes + size, '\0') - bytes;
  std::string text(bytes, textEnd);
  FuzzedDataProvider in(data + std::min(size, textEnd + 1), size - std::min(size, textEnd + 1));
  if (in.ConsumeBool() && IsUtf8(text)) text = "\xFF\xFE" + *Utf8ToUtf16(text);
  const bool wide = text.starts_with("\xFF\xFE");

  auto doc = RegDocument::Parse(text);
  if (!doc) return 0;
  FUZZ_CHECK(doc->Text() == text);  // read and written back, nothing changes

  std::map<std::pair<std::string, std::string>, RegValue> expected;
  const int writes = in.ConsumeIntegralInRange(1, 4);
  for (int i = 0; i < writes; ++i) {
    const std::string key = ChooseKey(in);
    const std::string name = ChooseName(in);
    const RegValue value = ChooseValue(in);
    const std::string before = doc->Text();
    if (!doc->Set(key, name, value)) {
      // Only a name or key that cannot stand on one line, or in a UTF-16 file is not
      // UTF-8, is refused.
      const std::string breaks("\0\r\n", 3);
      FUZZ_CHECK(name.find_first_of(breaks) != std::string::npos ||
                 key.find_first_of(breaks) != std::string::npos ||
                 (wide && (!IsUtf8(name) || !IsUtf8(key))));
      FUZZ_CHECK(doc->Text() == before);
      continue;
    }
    FUZZ_CHECK(doc->Find(key, name) == value);
    FUZZ_CHECK(doc->HasKey(key));
    CheckOtherLinesKept(before, doc->Text(), name);
    expected[{KeyId(key), Lower(name)}] = value;
  }

  // What the store would write is read back by the next start of the program: every value
  // as last set.
  const auto reread = RegDocument::Parse(doc->Text());
  FUZZ_CHECK(reread.has_value());
  for (const auto& [id, value] : expected) FUZZ_CHECK(reread->Find(id.first, id.second) == value);
  return 0;
}
