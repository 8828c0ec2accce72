#include "core/settings/reg_document.h"

#include <gtest/gtest.h>

#include <string>

#include "core/settings/utf16.h"
#include "sim/memory_registry.h"
#include "tests/core/settings/registry_rules.h"

namespace horalign {
namespace regtest {

struct MemoryHarness : sim::MemoryRegistry {
  RegistryStore& Store() { return *this; }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Memory, RegistryRules, MemoryHarness);

}  // namespace regtest

namespace {

using namespace regtest;

const std::string kKey = "[HKEY_LOCAL_MACHINE\\K]";

// Throws, and so fails the test, when the text does not parse.
RegDocument Doc(const std::string& text) {
  return RegDocument::Parse(text).value();
}

// Each row follows a value "A" outside any section and the key's section header.
TEST(RegDocument, ReadsEveryDataFormAndValuesOnlyOfTheKeyIgnoringCase) {
  const std::pair<const char*, std::optional<RegValue>> rows[] = {
      {R"("A"="C:\\dir\\\"x\"")", Sz(R"(C:\dir\"x")")},
      {R"(  "A"  =  "x"  )", Sz("x")},
      {R"("a"=DWORD:1E)", Dword(30)},
      {R"("A"=HEX(b):01, 0f ,F3,)", Raw(0xb, {1, 15, 0xf3})},
      {"\"A\"=hex:01,\\ \t\n\t 02,\\\n  03\n\"B\"=\"b\"", Raw(kRegBinary, {1, 2, 3})},
      {"\"A\"=hex:\n  \"B\"=\"b\"", Raw(kRegBinary, {})},  // no mark: B is a line of its own
      {R"(@="d")", std::nullopt},                          // the default value, not "A"
      {R"("A"=-)", std::nullopt},                          // a deletion reads as missing
      {R"("A"="x" y)", std::nullopt},
      {R"("A"="bad \n escape")", std::nullopt},
      {R"("A"=dword:123456789)", std::nullopt},
      {R"("A"=hex:01,1g)", std::nullopt},
      {R"("A"=hex(1:41)", std::nullopt},
      {"[]\n\"A\"=\"not in the key\"", std::nullopt},
      {"[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"a subkey\"", std::nullopt},
      {"[HKEY_CURRENT_USER\\K]\n\"A\"=\"another root\"", std::nullopt},
      {"[HKEY_LOCAL_MACHINX\\K]\n\"A\"=\"a misspelt root\"", std::nullopt}};
  for (const auto& [line, value] : rows) {
    const std::string text =
        "REGEDIT4\n\"A\"=\"x\"\n[hkey_local_machine\\k\\]\n" + std::string(line);
    EXPECT_EQ(Doc(text).Find("K", "A"), value) << line;
  }
  const auto doc =
      Doc("REGEDIT4\n" + kKey + "\n@=\"d\"\n[HKEY_USERS]\n[HKEY_LOCAL_MACHINE\\K\\Sub]\n" + kKey +
          "\n\"a\"=\"last\"\n");
  EXPECT_EQ(doc.Find("k\\", "A"), Sz("last"));
  EXPECT_EQ(doc.Find("K", ""), Sz("d"));
  EXPECT_TRUE(doc.HasKey("K\\SUB") && !doc.HasKey("") && !doc.HasKey("K\\Other"));
  // Two keys whose names share a hash stay apart.
  const auto clash = Doc("REGEDIT4\n[HKEY_LOCAL_MACHINE\\liquid]\n\"A\"=\"x\"\n");
  EXPECT_FALSE(clash.Find("costarring", "A") || clash.HasKey("costarring"));
}

// Not a settings file: a NUL, no header first, too long, or UTF-16 without whole units and
// surrogate pairs.
TEST(RegDocument, RefusesWhatIsNotASettingsFile) {
  const std::string wide = "\xFF\xFE" + *Utf8ToUtf16("REGEDIT4\n;");
  for (const std::string& text :
       {"REGEDIT4\n;" + std::string(1, '\0'), std::string("hi\nREGEDIT4"), wide + "R",
        wide + std::string("\x00\xD8", 2), wide + std::string("\x00\xD8R\0", 4),
        wide + std::string("\x00\xDC", 2), "REGEDIT4\n;" + std::string(1 << 20, 'x')}) {
    EXPECT_FALSE(RegDocument::Parse(text)) << text.substr(0, 20);
  }
}

// Every length of character, each at the edges of its length, in all three shapes (the
// codecs themselves are checked against Python's in tests/reference).
TEST(RegDocument, BothExportShapesAreReadAndWrittenBackInTheirOwnShape) {
  const std::string chars = "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xDF\xBF\xE2\x82\xAC\x7F";
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n; " + chars + "\r\n" + kKey +
                         "\r\n\"A\"=\"75\"\r\n";
  const std::string added = v5 + "\"B\"=\"caf\xC3\xA9\"\r\n";
  const std::string shapes[][2] = {
      {v5, added},
      {"\xEF\xBB\xBF" + v5, "\xEF\xBB\xBF" + added},
      {"\xFF\xFE" + *Utf8ToUtf16(v5), "\xFF\xFE" + *Utf8ToUtf16(added)}};
  for (const auto& [before, after] : shapes) {
    auto doc = Doc(before);
    EXPECT_EQ(doc.Find("K", "A"), Sz("75"));
    EXPECT_EQ(doc.Text(), before);
    ASSERT_TRUE(doc.Set("K", "B", Sz("caf\xC3\xA9")));
    EXPECT_EQ(doc.Text(), after);
  }
}

TEST(RegDocument, ChangingOneValueRewritesNothingElse) {
  auto doc =
      Doc("REGEDIT4\r\n\r\n; kept\r\n" + kKey + "\r\n\"Other\"=hex:01,\\\r\n  02\r\njunk\r\n" +
          "\"Interval\"=dword:00000001\r\n\"Last\"=\"l\"\r\n\r\n[HKEY_USERS\\X]\r\n\"B\"=-");
  ASSERT_TRUE(doc.Set("k", "INTERVAL", Sz("75")) && doc.Set("K", "last", Sz("longer than it was")));
  ASSERT_TRUE(doc.Set("K", "New", Sz("n")) && doc.Set("Z", "", Dword(0xabc)));
  EXPECT_EQ(doc.Text(),
            "REGEDIT4\r\n\r\n; kept\r\n" + kKey +
                "\r\n\"Other\"=hex:01,\\\r\n  02\r\njunk\r\n\"Interval\"=\"75\"\r\n"
                "\"Last\"=\"longer than it was\"\r\n\"New\"=\"n\"\r\n\r\n[HKEY_USERS\\X]"
                "\r\n\"B\"=-\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n@=dword:00000abc\r\n");
  EXPECT_EQ(Doc(doc.Text()).Find("K", "Other"), Raw(kRegBinary, {1, 2}));
  for (const char* cut : {"", "\r"}) {  // a last line cut before or after its CR is ended once
    auto each = Doc("REGEDIT4\r\n" + kKey + "\r\n\"A\"=\"a\"" + cut);
    ASSERT_TRUE(each.Set("K", "B", Sz("b")) && each.Set("K", "A", Sz("aa")));
    EXPECT_EQ(each.Text(), "REGEDIT4\r\n" + kKey + "\r\n\"A\"=\"aa\"\r\n\"B\"=\"b\"\r\n");
  }
}

// What cannot stand in quotes goes as hex; a name or key that would break the line, or one a
// UTF-16 file cannot hold, is refused.
TEST(RegDocument, AnEmptyDocumentGetsItsHeaderAndValuesThatCannotBeQuotedGoAsHex) {
  for (const char* empty : {"", "\xFF\xFE"}) {
    auto doc = Doc(empty);
    EXPECT_FALSE(doc.Set("K", "bad\nname", Sz("x")) || doc.Set("K\r", "A", Sz("x")) ||
                 doc.Set("K", std::string("nul\0", 4), Sz("x")));
    for (const auto& value :
         {Sz("\xFF two\nlines"), Raw(kRegSz, {'a', 0, 0}), Raw(0x1a7, {'a', 0})}) {
      ASSERT_TRUE(doc.Set("K", "A\\\"b", value));
      EXPECT_EQ(Doc(doc.Text()).Find("K", "A\\\"b"), value) << doc.Text();
    }
  }
  auto doc = Doc(""), wide = Doc("\xFF\xFE");
  EXPECT_FALSE(wide.Set("K", "\xFF", Sz("x")) || wide.Set("K\xFF", "A", Sz("x")));
  ASSERT_TRUE(doc.Set("Software\\Q", "A\\\"b", Raw(7, {1, 2})) && wide.Set("K", "A", Sz("\xFF")));
  ASSERT_TRUE(doc.Set("Z", "", Sz("")));  // a new section after a whole line gets a blank one
  EXPECT_EQ(doc.Text(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n\"A\\\\\\\"b\"=hex(7):01,02\n"
            "\n[HKEY_LOCAL_MACHINE\\Z]\n@=\"\"\n");
  EXPECT_EQ(Utf16ToUtf8(wide.Text().substr(2)),
            "Windows Registry Editor Version 5.00\n\n" + kKey + "\n\"A\"=hex(1):ff,00\n");
}

}  // namespace
}  // namespace horalign
