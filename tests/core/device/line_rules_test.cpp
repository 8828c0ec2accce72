#include <gtest/gtest.h>

#include <string>

#include "core/device/line_rules.h"
#include "core/device/model_table.h"

// The pure rules, against literal lines: the monitor's classification, the query's cut and
// the model table.
namespace horalign::test {
namespace {

// Each row: C when the line is a complete reply, E an error reply, R a receiver's time
// line ("-" where not), a space, then the line.
TEST(LineRules, ClassifyLinesAsTheMonitorDoes) {
  // clang-format off
  constexpr const char* kLines[] = {
      "C-- *\r",             "C-- ab*\r",           "--- *a\r",            "C-- \n*\r",
      "--- 1234567890123\r",            "C-- 12345678901234\r",           "--- 123456789012345\r",
      "--- 12345678901234567890123\r",   "C-- 123456789012345678901234\r",
      "--- 1234567890123456789012345\r", "CE- ?9912345678901\r",
      "-E- ?99\r",   "-E- ?99",     "-E- ?\r",     "--- ?9\r",    "--- ?x\r",    "--- x?99\r",
      "--R 037146114050\r",  "--R 037143714050\r",  "--R 037146214050\r",  "--R 037143814050\r",
      "--- 037146014050\r",  "--- 037146314050\r",  "--- 037143614050\r",  "--- 037143914050\r",
      "--- 037146\r"};
  // clang-format on
  for (const std::string row : kLines) {
    const std::string line = row.substr(4);
    EXPECT_EQ(IsCompleteReply(line), row[0] == 'C') << row;
    EXPECT_EQ(IsErrorReply(line), row[1] == 'E') << row;
    EXPECT_EQ(IsProbeAnswer(line), row[1] == 'E') << row;
    EXPECT_EQ(IsReceiverTimeLine(line), row[2] == 'R') << row;
  }
}

// A complete reply loses its last two characters, or its first and last two, to leave the
// expected length; an incomplete one gives "?99" only when errors are accepted.
TEST(LineRules, QueryResultCutsTheReplyToTheExpectedLength) {
  for (const auto& [line, expectedLength, complete, acceptError, result] :
       {std::tuple("14050912052672\r", 13, true, false, "1405091205267"),
        {"14050912052672\r", 12, true, false, "405091205267"},
        {"14050912052672\r", 11, true, false, ""},
        {"14050912052672\r", 14, true, false, ""},
        {"14050912052672\r", 13, false, true, ""},
        {"?99\r", 13, false, true, "?99"},
        {"?99\r", 13, false, false, ""},
        {"?9\r", 13, false, true, ""}}) {
    EXPECT_EQ(QueryResult(line, expectedLength, complete, acceptError), result)
        << line << " " << expectedLength;
  }
}

// Each row: the letter, U when the model is set by the UTC command, Q when its time can be
// read ("-" where not), a space, then the model's name.
TEST(ModelTable, EveryLetterNamesItsModelAndItsWayOfSettingAndReadingTime) {
  // clang-format off
  constexpr const char* kModels[] = {
      "A-- QM6840",         "B-- QM6850",         "E-- QM5101",         "F-- QM5120",
      "G-- QM5150",         "H-- QM4700",         "I-- QM4705",         "JUQ KR9010",
      "K-Q Tone Generator", "MUQ KR9020",         "NUQ KR9021",         "OUQ KR9340",
      "QUQ KR9025",         "RUQ QM8370",         "S-- PA Speaker",     "T-Q Tone Generator",
      "V-Q Receiver (Ver. 2)",                    "WUQ QM8340",         "XUQ QM8390",
      "ZUQ QM8391",         "C-- N/A",            "D-- N/A",            "L-- N/A",
      "P-- N/A",            "U-- N/A",            "Y-- N/A",            "w-- N/A"};
  // clang-format on
  for (const std::string row : kModels) {
    const std::string model = row.substr(4);
    const Identification id = ParseIdentificationLine("EDCBA" + row.substr(0, 1) + "00000000\r");
    EXPECT_EQ(id.model, model) << row;
    EXPECT_EQ(id.serial, row[0] == 'V' ? "00000" : "ABCDE") << row;
    EXPECT_EQ(SupportsUtcTimeSet(id.kind), row[1] == 'U') << row;
    EXPECT_EQ(SupportsTimeQuery(id.kind), row[2] == 'Q') << row;
  }
  // A receiver without a letter, a line that ends early.
  const Identification receiver = ParseIdentificationLine("?\r");
  EXPECT_EQ(receiver.model + " " + receiver.serial, "Receiver 00000");
  EXPECT_EQ(ParseIdentificationLine("21\r").serial, "\\x0D12");
  EXPECT_EQ(ParseIdentificationLine("EDCBAW").model, "QM8340");
  EXPECT_EQ(ParseIdentificationLine(std::string_view("EDCBAW", 5)).model, "N/A");
}

}  // namespace
}  // namespace horalign::test
