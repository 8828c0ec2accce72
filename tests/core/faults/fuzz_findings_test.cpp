#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/app/reg_document.h"
#include "core/app/registry.h"
#include "core/device/line_rules.h"

namespace horalign::test {
namespace {

// Found by fuzz_line_rules: a negative expected length made the cut run past the start
// of a short line (a wrong text, or an exception for an empty line).
TEST(FuzzFindings, AQueryExpectingANegativeLengthCutsNothing) {
  struct Case {
    std::string line;
    int expectedLength;
  };
  for (const Case& c : {Case{"*\r", -1}, Case{"", -3}, Case{"", -2}, Case{"?\r", -1}, Case{"x", -2},
                        Case{"140509120526772\r", -40}}) {
    EXPECT_EQ(QueryResult(c.line, c.expectedLength, true, false), "")
        << c.line.size() << " " << c.expectedLength;
  }
  EXPECT_EQ(QueryResult("14050912052672\r", 13, true, false), "1405091205267");
}

// Found by fuzz_settings_file: a key path with a line break was written as a section
// header that read back as other lines, and one with a NUL made the next read refuse the
// whole file. Such a key is refused like such a name, and the document stays as it was.
TEST(FuzzFindings, AKeyPathThatCannotStandOnOneLineIsRefused) {
  const std::string text =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n"
      "\"Update Interval\"=\"75\"\n";
  const RegValue value{kRegSz, {'1', 0}};
  for (const std::string& key : {std::string("Software\\A\nB"), std::string("Software\\A\rB"),
                                 std::string("Software\\A\0B", 11)}) {
    auto doc = RegDocument::Parse(text);
    ASSERT_TRUE(doc.has_value());
    EXPECT_FALSE(doc->Set(key, "Signal Source", value));
    EXPECT_EQ(doc->Text(), text);
  }
  auto doc = RegDocument::Parse(text);
  ASSERT_TRUE(doc->Set("Software\\A B", "Signal Source", value));
  const auto reread = RegDocument::Parse(doc->Text());
  ASSERT_TRUE(reread.has_value());
  EXPECT_EQ(reread->Find("Software\\A B", "Signal Source"), std::optional<RegValue>(value));
  EXPECT_EQ(reread->Find(kConfigKey, kValueUpdateInterval), (RegValue{kRegSz, {'7', '5', 0}}));
}

}  // namespace
}  // namespace horalign::test
