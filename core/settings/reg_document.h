#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/registry_store.h"

namespace horalign {

// A settings file in the shape of a registry export, for platforms without a registry:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Config]
//   "Update Interval"="75"
//   "Serial COM Port"=dword:0000001e
//   "Signal Source"=hex:01,02
//
// The first line may also be "Windows Registry Editor Version 5.00", and the file UTF-8
// (with or without its mark) or UTF-16 LE with its mark; it is written back in the shape it
// was read in. Strings take \\ and \" escapes; hex(N): gives a value of type N. The
// document keeps every line as it was read, so that changing one value rewrites nothing
// else: lines it does not understand (comments, other roots, malformed values) stay verbatim
// and are simply not found. Key paths and value names compare without regard to case.
//
// The text is held once, with a small record for each line that is not blank, and lines
// are looked at only when a value is looked for: a large file costs little more than its
// size.
class RegDocument {
 public:
  // Larger files are refused rather than read: settings files are a few hundred bytes.
  static constexpr std::size_t kMaxBytes = 1 << 20;

  // nullopt when the bytes are not a settings file at all: more than kMaxBytes, holding a
  // NUL character, marked as UTF-16 but not UTF-16, or with a first non-blank line other
  // than one of the two headers. Blank bytes are an empty document.
  static std::optional<RegDocument> Parse(std::string_view bytes);

  // The value of the last line naming it in a section of the key; nullopt when there is
  // none or that line's data was not understood.
  std::optional<RegValue> Find(std::string_view keyPath, std::string_view name) const;
  bool HasKey(std::string_view keyPath) const;

  // Replaces the line that Find would read, or adds one at the end of the key's last
  // section, adding the section (and the header) when missing. false, and nothing
  // changed, when the name or the key path cannot stand on one line (a NUL, CR or LF), or
  // is not UTF-8 in a UTF-16 file.
  bool Set(std::string_view keyPath, std::string_view name, const RegValue& value);

  // The file's bytes, in the shape it was read in.
  std::string Text() const;

 private:
  enum class Encoding : std::uint8_t { kBytes, kUtf8Marked, kUtf16 };
  enum class LineKind : std::uint8_t { kHeader, kSection, kValue, kOther };
  // A line that is not blank, with its continuation lines and its ending, in text_. A
  // section or value line carries a hash of its key path or name, so that looking for a
  // value reads only the lines that may hold it.
  struct Line {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::uint32_t hash = 0;
    LineKind kind = LineKind::kOther;
  };

  static Line Describe(std::string_view content);
  std::string Content(const Line& line) const;
  bool InKey(const Line& section, std::string_view keyPath) const;
  std::optional<std::size_t> FindLine(std::string_view keyPath, std::string_view name) const;
  std::size_t AppendSection(std::string_view keyPath);
  void InsertLine(std::size_t index, std::size_t offset, const std::string& content);
  void Splice(std::size_t from, std::size_t to, std::string_view with);

  std::string text_;  // UTF-8 when the file is UTF-16; without a UTF-8 mark
  std::vector<Line> lines_;
  std::string newline_ = "\n";
  Encoding encoding_ = Encoding::kBytes;
};

}  // namespace horalign
