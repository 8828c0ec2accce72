#include "core/app/reg_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/core/app/registry_rules.h"

namespace horalign {
namespace {

using regtest::Dword;
using regtest::Raw;
using regtest::Sz;

// UTF-16 LE with its byte order mark, from valid UTF-8.
std::string Utf16(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  const auto put = [&out](std::uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (int k = 1; k < length; ++k) code = (code << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (code < 0x10000) {
      put(code);
    } else {
      put(0xD800 + ((code - 0x10000) >> 10));
      put(0xDC00 + (code & 0x3FF));
    }
  }
  return out;
}

RegDocument Doc(const std::string& text) {
  auto doc = RegDocument::Parse(text);
  EXPECT_TRUE(doc) << text;
  return doc.value_or(*RegDocument::Parse(""));
}

TEST(RegDocument, ReadsEveryDataForm) {
  const struct {
    const char* line;
    std::optional<RegValue> value;
  } rows[] = {
      {R"("A"="75")", Sz("75")},
      {R"("A"="C:\\dir\\\"x\"")", Sz(R"(C:\dir\"x")")},
      {R"("A"  =  "x"  )", Sz("x")},
      {R"("a"=dword:0000001e)", Dword(30)},
      {R"("A"=DWORD:1E)", Dword(30)},
      {R"("A"=hex:01,02)", Raw(kRegBinary, {1, 2})},
      {R"("A"=hex:)", Raw(kRegBinary, {})},
      {R"("A"=hex(1):41,42)", Raw(kRegSz, {'A', 'B'})},
      {R"("A"=hex(b):01, 02 ,03,)", Raw(0xb, {1, 2, 3})},
      {R"("A"=-)", std::nullopt},  // a deletion reads as missing
      {R"("A"="open)", std::nullopt},
      {R"("A"="x" y)", std::nullopt},
      {R"("A"="bad \n escape")", std::nullopt},
      {R"("A"=dword:123456789)", std::nullopt},
      {R"("A"=dword:)", std::nullopt},
      {R"("A"=hex:1g)", std::nullopt},
      {R"("A"=hex:100)", std::nullopt},
      {R"("A"=hex(1:41)", std::nullopt},
      {R"("A"=string)", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto doc = Doc(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n") + row.line + "\n");
    EXPECT_EQ(doc.Find("K", "A"), row.value) << row.line;
  }
  EXPECT_EQ(Doc("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"d\"\n").Find("K", ""), Sz("d"));
}

TEST(RegDocument, AHexValueGoesOnOverLinesEndingInABackslash) {
  const auto doc = Doc(
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=hex:01,02,\\\r\n  03,04\r\n\"B\"=\"b\"\r\n");
  EXPECT_EQ(doc.Find("K", "A"), Raw(kRegBinary, {1, 2, 3, 4}));
  EXPECT_EQ(doc.Find("K", "B"), Sz("b"));

  // Only indented lines continue, so a section added after a dangling mark stays a section.
  auto dangling = Doc("REGEDIT4\n\"A\"=hex:01,\\\\");
  ASSERT_TRUE(dangling.Set("K", "B", Sz("b")));
  EXPECT_EQ(Doc(dangling.Text()).Find("K", "B"), Sz("b"));
}

TEST(RegDocument, FindsOnlyValuesOfTheKeyIgnoringCase) {
  const auto doc =
      Doc("REGEDIT4\n"
          "\"Loose\"=\"outside any section\"\n"
          "[HKEY_CURRENT_USER\\K]\n\"A\"=\"other root\"\n"
          "[hkey_local_machine\\k\\]\n\"a\"=\"first\"\n"
          "[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"subkey\"\n"
          "[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"last wins\"\n");
  EXPECT_EQ(doc.Find("K", "A"), Sz("last wins"));
  EXPECT_EQ(doc.Find("K", "Loose"), std::nullopt);
  EXPECT_TRUE(doc.HasKey("K\\SUB"));
  EXPECT_FALSE(doc.HasKey("K\\Other"));
}

TEST(RegDocument, RefusesWhatIsNotASettingsFile) {
  for (const std::string& text : {std::string("REGEDIT4\n\"A\"=\"x") + '\0' + "y\"\n",
                                  std::string("\x7f"
                                              "ELF\x02\x01"),
                                  std::string("hello\nREGEDIT4\n"), std::string("REGEDIT5\n"),
                                  std::string("\xFF\xFER"),            // half a UTF-16 unit
                                  std::string("\xFF\xFE\x00\xD8", 4),  // half a surrogate pair
                                  std::string("R\0E\0G\0", 6),         // UTF-16 without its mark
                                  "REGEDIT4\n;" + std::string(RegDocument::kMaxBytes, 'x')}) {
    EXPECT_FALSE(RegDocument::Parse(text)) << text.substr(0, 20);
  }
  for (const char* text : {"", "\n \r\n", "\xEF\xBB\xBFREGEDIT4\n", "  regedit4  \nnot a line\n"}) {
    EXPECT_TRUE(RegDocument::Parse(text)) << text;
  }
}

TEST(RegDocument, BothExportShapesAreReadAndWrittenBackInTheirOwnShape) {
  const std::string v5 =
      "Windows Registry Editor Version 5.00\r\n\r\n; Z\xC3\xBCrich \xF0\x9F\x98\x80\r\n"
      "[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"75\"\r\n";
  const std::string added = "\"B\"=\"caf\xC3\xA9\"\r\n";
  const struct {
    const char* what;
    std::string (*shape)(std::string_view);
  } rows[] = {
      {"UTF-8", [](std::string_view t) { return std::string(t); }},
      {"UTF-8 with its mark", [](std::string_view t) { return "\xEF\xBB\xBF" + std::string(t); }},
      {"UTF-16", Utf16}};
  for (const auto& row : rows) {
    auto doc = Doc(row.shape(v5));
    EXPECT_EQ(doc.Find("K", "A"), Sz("75")) << row.what;
    EXPECT_EQ(doc.Text(), row.shape(v5)) << row.what;
    ASSERT_TRUE(doc.Set("K", "B", Sz("caf\xC3\xA9"))) << row.what;
    EXPECT_EQ(doc.Text(), row.shape(v5 + added)) << row.what;
  }
}

TEST(RegDocument, ChangingOneValueRewritesNothingElse) {
  const std::string before =
      "REGEDIT4\r\n\r\n; kept\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"Other\"=hex:01,\\\r\n  02\r\n"
      "garbage line\r\n\"Update Interval\"=dword:00000001\r\n\r\n[HKEY_USERS\\X]\r\n\"B\"=-";
  auto doc = Doc(before);
  ASSERT_TRUE(doc.Set("k", "UPDATE INTERVAL", Sz("75")));
  std::string expected = before;
  expected.replace(expected.find("dword:00000001"), 14, "\"75\"");
  EXPECT_EQ(doc.Text(), expected);

  ASSERT_TRUE(doc.Set("K", "New", Sz("n")));
  expected.insert(expected.find("\r\n\r\n[HKEY_USERS") + 2, "\"New\"=\"n\"\r\n");
  EXPECT_EQ(doc.Text(), expected);

  ASSERT_TRUE(doc.Set("Z", "A", Dword(0xabc)));
  expected += "\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"A\"=dword:00000abc\r\n";
  EXPECT_EQ(doc.Text(), expected);
  EXPECT_EQ(Doc(doc.Text()).Find("K", "Other"), Raw(kRegBinary, {1, 2}));
}

TEST(RegDocument, ALastLineCutAfterItsCarriageReturnIsEndedOnce) {
  auto doc = Doc("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"a\"\r");
  ASSERT_TRUE(doc.Set("K", "B", Sz("b")));
  EXPECT_EQ(doc.Text(), "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"a\"\r\n\"B\"=\"b\"\r\n");
}

TEST(RegDocument, AnEmptyDocumentGetsTheHeaderAndTheSection) {
  auto doc = Doc("");
  ASSERT_TRUE(doc.Set("Software\\Q", "A\\\"b", Sz("x")));
  EXPECT_EQ(doc.Text(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n\"A\\\\\\\"b\"=\"x\"\n");
}

TEST(RegDocument, ValuesThatCannotBeQuotedRoundTripAsHex) {
  const RegValue values[] = {Sz("two\nlines"),
                             Raw(kRegSz, {'n', 'o', 'n', 'u', 'l'}),
                             Raw(kRegSz, {'a', 0, 'b', 0}),
                             Raw(kRegDword, {1, 2}),
                             Raw(7, {'a', 0, 0}),
                             Sz(""),
                             Sz("\xFF not UTF-8")};
  for (const char* empty : {"", "\xFF\xFE"}) {  // a UTF-16 file holds only UTF-8 text
    auto doc = Doc(empty);
    for (const auto& value : values) {
      ASSERT_TRUE(doc.Set("K", "A", value));
      EXPECT_EQ(Doc(doc.Text()).Find("K", "A"), value) << doc.Text();
    }
    EXPECT_FALSE(doc.Set("K", "bad\nname", Sz("x")));
    EXPECT_FALSE(doc.Set("K", std::string("nul\0", 4), Sz("x")));
  }
  auto wide = Doc("\xFF\xFE");
  EXPECT_FALSE(wide.Set("K", "\xFF", Sz("x")));
  EXPECT_FALSE(wide.Set("K\xFF", "A", Sz("x")));
  EXPECT_EQ(wide.Text(), "\xFF\xFE");
}

}  // namespace
}  // namespace horalign
