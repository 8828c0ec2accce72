#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/registry_store.h"

namespace horalign {

// A settings file in the REGEDIT4 text shape, for platforms without a registry:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Config]
//   "Update Interval"="75"
//   "Serial COM Port"=dword:0000001e
//   "Signal Source"=hex:01,02
//
// Strings take \\ and \" escapes; hex(N): gives a value of type N. The document keeps
// every line as it was read, so that changing one value rewrites nothing else: lines it
// does not understand (comments, other roots, malformed values) stay verbatim and are
// simply not found. Key paths and value names compare without regard to case.
class RegDocument {
 public:
  // Larger texts are refused rather than read: settings files are a few hundred bytes.
  static constexpr std::size_t kMaxBytes = 1 << 20;

  // nullopt when the text is not a settings file at all: larger than kMaxBytes, holding a
  // NUL byte, or with a first non-blank line other than "REGEDIT4". A blank text is an
  // empty document.
  static std::optional<RegDocument> Parse(std::string_view text);

  // The value of the last line naming it in a section of the key; nullopt when there is
  // none or that line's data was not understood.
  std::optional<RegValue> Find(std::string_view keyPath, std::string_view name) const;
  bool HasKey(std::string_view keyPath) const;

  // Replaces the line that Find would read, or adds one at the end of the key's last
  // section, adding the section (and the header) when missing. false, and nothing
  // changed, when the name or the key path cannot stand on one line (a NUL, CR or LF).
  bool Set(std::string_view keyPath, std::string_view name, const RegValue& value);

  std::string Text() const;

 private:
  enum class LineKind { kBlank, kHeader, kSection, kValue, kOther };
  struct Line {
    std::string raw;  // as read, with its line ending(s)
    LineKind kind = LineKind::kOther;
    std::optional<std::string> key;  // a section under HKEY_LOCAL_MACHINE: its path
    std::string name;                // a value line: its name ("" for @)
    std::optional<RegValue> value;   // a value line whose data was understood
  };

  static Line Classify(std::string raw, std::string_view content);
  std::optional<std::size_t> FindLine(std::string_view keyPath, std::string_view name) const;
  std::size_t AppendSection(std::string_view keyPath);
  void Insert(std::size_t at, std::string text);

  std::vector<Line> lines_;
  std::string newline_ = "\n";
};

}  // namespace horalign
