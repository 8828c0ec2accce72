#include "core/app/reg_document.h"

#include <gtest/gtest.h>

#include <string>

#include "core/app/utf16.h"
#include "tests/core/app/registry_rules.h"

namespace horalign {
namespace regtest {
namespace {

// Every value put into a document's text, in its UTF-16 shape, and read back from it.
struct DocumentHarness : RegistryStore {
  std::optional<RegValue> Query(const std::string& key, const std::string& name) override {
    return RegDocument::Parse(text)->Find(key, name);
  }
  bool SetString(const std::string& key, const std::string& name, const std::string& s) override {
    Put(key, name, Sz(s));
    return true;
  }
  void Put(const std::string& key, const std::string& name, const RegValue& value) {
    auto doc = RegDocument::Parse(text);
    ASSERT_TRUE(doc && doc->Set(key, name, value));
    text = doc->Text();
  }
  RegistryStore& Store() { return *this; }
  bool KeyExists(const std::string& key) { return RegDocument::Parse(text)->HasKey(key); }
  std::string text = "\xFF\xFE";
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Document, RegistryRules, DocumentHarness);

}  // namespace regtest

namespace {

using regtest::Dword;
using regtest::Raw;
using regtest::Sz;

RegDocument Doc(const std::string& text) {
  auto doc = RegDocument::Parse(text);
  EXPECT_TRUE(doc) << text;
  return doc.value_or(*RegDocument::Parse(""));
}

TEST(RegDocument, ReadsEveryDataFormAndValuesOnlyOfTheKeyIgnoringCase) {
  const struct {
    const char* line;
    std::optional<RegValue> value;
  } rows[] = {
      {R"("A"="C:\\dir\\\"x\"")", Sz(R"(C:\dir\"x")")},
      {R"(  "A"  =  "x"  )", Sz("x")},
      {R"("a"=DWORD:1E)", Dword(30)},
      {R"("A"=hex:)", Raw(kRegBinary, {})},
      {R"("A"=HEX(b):01, 0f ,F3,)", Raw(0xb, {1, 15, 0xf3})},
      {"\"A\"=hex:01,\\ \t\n\t 02,\\\n  03\n\"B\"=\"b\"", Raw(kRegBinary, {1, 2, 3})},
      {"\"A\"=hex:01\n  \"B\"=\"b\"", Raw(kRegBinary, {1})},  // no mark: B is a line of its own
      {R"(@="d")", std::nullopt},                             // the default value, not "A"
      {R"("A"=-)", std::nullopt},                             // a deletion reads as missing
      {R"("A"="open)", std::nullopt},
      {R"("A"="x" y)", std::nullopt},
      {R"("A"="bad \n escape")", std::nullopt},
      {R"("A"=dword:123456789)", std::nullopt},
      {R"("A"=dword:)", std::nullopt},
      {R"("A"=hex:1g)", std::nullopt},
      {R"("A"=hex:100)", std::nullopt},
      {R"("A"=hex(1:41)", std::nullopt},
      {R"("A"=string)", std::nullopt},
      {"[]\n\"A\"=\"not in the key\"", std::nullopt},
      {"[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"a subkey\"", std::nullopt},
      {"[HKEY_CURRENT_USER\\K]\n\"A\"=\"another root\"", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto doc =
        Doc(std::string("REGEDIT4\n\"A\"=\"x\"\n[hkey_local_machine\\k\\]\n") + row.line + "\n");
    EXPECT_EQ(doc.Find("K", "A"), row.value) << row.line;
  }
  EXPECT_EQ(Doc("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"d\"\n").Find("K", ""), Sz("d"));
  const auto doc =
      Doc("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\Sub]\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"1\"\n"
          "[HKEY_LOCAL_MACHINE]\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"last wins\"\n");
  EXPECT_EQ(doc.Find("k\\", "A"), Sz("last wins"));
  EXPECT_TRUE(doc.HasKey("K\\SUB") && doc.HasKey("") && !doc.HasKey("K\\Other"));
}

TEST(RegDocument, RefusesWhatIsNotASettingsFile) {
  const std::string wide = "\xFF\xFE" + *Utf8ToUtf16("REGEDIT4\n;");
  for (const std::string& text :
       {"REGEDIT4\n\"A\"=\"x" + std::string(1, '\0') + "y\"\n",
        std::string("\x7f"
                    "ELF\x02"),
        std::string("hello\nREGEDIT4\n"), std::string("REGEDIT5\n"), std::string("R\0E\0G\0", 6),
        wide + "R",                                 // half a UTF-16 unit
        wide + std::string("\x00\xD8", 2),          // half a surrogate pair
        wide + std::string("\x00\xD8R\0", 4),       // a lead without its trail
        wide + std::string("\x00\xDC\x00\xDC", 4),  // a trail without its lead
        "REGEDIT4\n;" + std::string(RegDocument::kMaxBytes, 'x')}) {
    EXPECT_FALSE(RegDocument::Parse(text)) << text.substr(0, 20);
  }
  for (const char* text : {"", "\n \r\n", "\xEF\xBB\xBFREGEDIT4\n", "  regedit4  \nnot a line\n"}) {
    EXPECT_TRUE(RegDocument::Parse(text)) << text;
  }
}

// Every length of character, and each at the edges of its length.
TEST(RegDocument, BothExportShapesAreReadAndWrittenBackInTheirOwnShape) {
  EXPECT_EQ(Utf8ToUtf16("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xDF\xBF\x7F"),
            std::string("\x00\xD8\x00\xDC\xFF\xDB\xFF\xDF\x00\x08\xFF\x07\x7F\x00", 14));
  for (const char* bad : {"\xC0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    EXPECT_FALSE(IsUtf8(bad)) << bad;  // too long, a surrogate, past U+10FFFF, no lead
  }
  const std::string v5 =
      "Windows Registry Editor Version 5.00\r\n\r\n; Z\xC3\xBCrich \xE2\x82\xAC \xE0\xA0\x80 "
      "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF \xDF\xBF\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"75\"\r\n";
  const std::string added = "\"B\"=\"caf\xC3\xA9\"\r\n";
  const std::string shapes[][2] = {
      {v5, v5 + added},
      {"\xEF\xBB\xBF" + v5, "\xEF\xBB\xBF" + v5 + added},
      {"\xFF\xFE" + *Utf8ToUtf16(v5), "\xFF\xFE" + *Utf8ToUtf16(v5 + added)}};
  for (const auto& [before, after] : shapes) {
    auto doc = Doc(before);
    EXPECT_EQ(doc.Find("K", "A"), Sz("75"));
    EXPECT_EQ(doc.Text(), before);
    ASSERT_TRUE(doc.Set("K", "B", Sz("caf\xC3\xA9")));
    EXPECT_EQ(doc.Text(), after);
  }
}

TEST(RegDocument, ChangingOneValueRewritesNothingElse) {
  const std::string before =
      "REGEDIT4\r\n\r\n; kept\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"Other\"=hex:01,\\\r\n  02\r\n"
      "garbage line\r\n\"Update Interval\"=dword:00000001\r\n\"Last\"=\"l\"\r\n\r\n"
      "[HKEY_USERS\\X]\r\n\"B\"=-";
  auto doc = Doc(before);
  ASSERT_TRUE(doc.Set("k", "UPDATE INTERVAL", Sz("75")));
  ASSERT_TRUE(doc.Set("K", "last", Sz("longer than before")));
  ASSERT_TRUE(doc.Set("K", "New", Sz("n")));
  ASSERT_TRUE(doc.Set("Z", "", Dword(0xabc)));
  EXPECT_EQ(doc.Text(),
            "REGEDIT4\r\n\r\n; kept\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"Other\"=hex:01,\\\r\n  02\r\n"
            "garbage line\r\n\"Update Interval\"=\"75\"\r\n\"Last\"=\"longer than before\"\r\n"
            "\"New\"=\"n\"\r\n\r\n[HKEY_USERS\\X]\r\n\"B\"=-\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n"
            "@=dword:00000abc\r\n");
  EXPECT_EQ(Doc(doc.Text()).Find("K", "Other"), Raw(kRegBinary, {1, 2}));

  // A last line cut after its CR is ended once, and its record follows the change.
  auto cut = Doc("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"a\"\r");
  ASSERT_TRUE(cut.Set("K", "B", Sz("b")));
  ASSERT_TRUE(cut.Set("K", "A", Sz("aa")));
  EXPECT_EQ(cut.Text(), "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"aa\"\r\n\"B\"=\"b\"\r\n");
}

TEST(RegDocument, AnEmptyDocumentGetsItsHeaderAndValuesThatCannotBeQuotedGoAsHex) {
  auto doc = Doc("");
  ASSERT_TRUE(doc.Set("Software\\Q", "A\\\"b", Sz("x")));
  EXPECT_EQ(doc.Text(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n\"A\\\\\\\"b\"=\"x\"\n");
  const RegValue values[] = {Sz("two\nlines"),
                             Raw(kRegSz, {'n', 'o', 'n', 'u', 'l'}),
                             Raw(kRegSz, {'a', 0, 'b', 0}),
                             Raw(kRegDword, {1, 2}),
                             Raw(0x1a7, {'a', 0, 0}),
                             Sz(""),
                             Sz("\xFF not UTF-8")};
  for (const char* empty : {"", "\xFF\xFE"}) {  // a UTF-16 file holds only UTF-8 text
    auto each = Doc(empty);
    for (const auto& value : values) {
      ASSERT_TRUE(each.Set("K", "A", value));
      EXPECT_EQ(Doc(each.Text()).Find("K", "A"), value) << each.Text();
    }
    EXPECT_FALSE(each.Set("K", "bad\nname", Sz("x")) || each.Set("K\r", "A", Sz("x")) ||
                 each.Set("K", std::string("nul\0", 4), Sz("x")));
  }
  auto wide = Doc("\xFF\xFE");
  EXPECT_FALSE(wide.Set("K", "\xFF", Sz("x")) || wide.Set("K\xFF", "A", Sz("x")));
  EXPECT_EQ(wide.Text(), "\xFF\xFE");
  ASSERT_TRUE(wide.Set("K", "A", Sz("x")));
  EXPECT_EQ(*Utf16ToUtf8(wide.Text().substr(2)),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"x\"\n");
}

}  // namespace
}  // namespace horalign
