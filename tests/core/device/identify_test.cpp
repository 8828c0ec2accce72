#include <gtest/gtest.h>

#include "core/device/line_rules.h"
#include "core/device/model_table.h"
#include "tests/core/device/paging_fixture.h"

namespace horalign::test {
namespace {

struct ModelRow {
  char letter;
  const char* model;
  bool utc;
  bool query;
};

constexpr ModelRow kModels[] = {
    {'A', "QM6840", false, false},         {'B', "QM6850", false, false},
    {'E', "QM5101", false, false},         {'F', "QM5120", false, false},
    {'G', "QM5150", false, false},         {'H', "QM4700", false, false},
    {'I', "QM4705", false, false},         {'J', "KR9010", true, true},
    {'K', "Tone Generator", false, true},  {'M', "KR9020", true, true},
    {'N', "KR9021", true, true},           {'O', "KR9340", true, true},
    {'Q', "KR9025", true, true},           {'R', "QM8370", true, true},
    {'S', "PA Speaker", false, false},     {'T', "Tone Generator", false, true},
    {'V', "Receiver (Ver. 2)", false, true}, {'W', "QM8340", true, true},
    {'X', "QM8390", true, true},           {'Z', "QM8391", true, true},
};

TEST(Identification, EveryLetterOnTheWireGivesItsModelAndSerial) {
  for (const auto& row : kModels) {
    PagingRig rig;
    rig.world.AddDevice(2, {.letter = row.letter, .serial = "ABCDE"});
    rig.Open(2);
    const std::string line = rig.paging.IdentifyDevice();
    EXPECT_EQ(line.substr(0, 6), std::string("EDCBA") + row.letter) << row.letter;
    EXPECT_EQ(rig.paging.DeviceModel, row.model) << row.letter;
    EXPECT_EQ(rig.paging.DeviceSerial, row.letter == 'V' ? "00000" : "ABCDE") << row.letter;
    EXPECT_EQ(SupportsUtcTimeSet(row.model), row.utc) << row.model;
    EXPECT_EQ(SupportsTimeQuery(row.model), row.query) << row.model;
    const auto sent = rig.Sent(2);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.back().text, "?000M\r");
  }
}

TEST(Identification, AReceiverThatAnswersOnlyQuestionMarksIsAskedThreeTimes) {
  PagingRig rig;
  rig.world.AddDevice(2, {.letter = sim::kNoLetter, .eventEverySeconds = 0});
  rig.Open(2);
  const auto start = rig.delayTicks;
  EXPECT_EQ(rig.paging.IdentifyDevice(), "?\r");
  EXPECT_EQ(rig.paging.DeviceModel, "Receiver");
  EXPECT_EQ(rig.paging.DeviceSerial, "00000");
  int queries = 0;
  for (const auto& l : rig.Sent(2)) queries += l.text == "?000M\r";
  EXPECT_EQ(queries, 3);
  EXPECT_GE(rig.delayTicks - start, 3 * 101);
}

TEST(Identification, AFailedProbeSendsNoQuery) {
  PagingRig rig;
  rig.world.AddDevice(2, {.silent = true});
  rig.Open(2);
  rig.paging.DeviceModel = "QM8340";
  EXPECT_EQ(rig.paging.IdentifyDevice(), "");
  EXPECT_EQ(rig.paging.DeviceModel, "N/A");
  EXPECT_EQ(rig.paging.DeviceSerial, "00000");
  for (const auto& l : rig.Sent(2)) EXPECT_EQ(l.text, "\r");
}

TEST(Identification, ADeviceThatRejectsTheQueryIsNotNamedAfterThePreviousOne) {
  PagingRig rig;
  rig.world.AddDevice(1, {.letter = 'W', .serial = "12345"});
  rig.world.AddDevice(2, {.fixedReply = std::string("?99")});
  rig.Open(1);
  rig.paging.IdentifyDevice();
  ASSERT_EQ(rig.paging.DeviceModel, "QM8340");
  rig.Open(2);
  rig.paging.IdentifyDevice();
  EXPECT_EQ(rig.paging.DeviceModel, "N/A");
  EXPECT_EQ(rig.paging.DeviceSerial, "00000");
  EXPECT_EQ(rig.Sent(2).back().text, "P\r");
}

TEST(Identification, AnUnknownLetterKeepsTheSerial) {
  const auto id = ParseIdentificationLine("EDCBAC123\r");
  EXPECT_EQ(id.model, "N/A");
  EXPECT_EQ(id.serial, "ABCDE");
  EXPECT_EQ(ParseIdentificationLine("21\r").serial, "\r12");
  EXPECT_EQ(ParseIdentificationLine("EDCBAw\r").model, "N/A") << "letters are case-sensitive";
  EXPECT_FALSE(SupportsUtcTimeSet("kr9010"));
  EXPECT_FALSE(SupportsTimeQuery("Receiver"));
  EXPECT_FALSE(SupportsTimeQuery(""));
}

TEST(LineRules, ClassifyLinesAsTheMonitorDoes) {
  struct Row {
    std::string line;
    bool complete, error, receiver;
  };
  const Row rows[] = {
      {"*\r", true, false, false},
      {"?99\r", false, true, false},
      {"?\r", false, true, false},
      {"?9\r", false, false, false},
      {"12345678901234\r", true, false, false},
      {"?9912345678901\r", true, true, false},
      {std::string(24, 'x') + "\r", true, false, false},
      {std::string(15, 'x') + "\r", false, false, false},
      {"03714621405x\r", false, false, true},
      {"0371438\r", false, false, true},
      {"0371460120000\r", false, false, false},
      {"\n*\r", true, false, false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(IsCompleteReply(r.line), r.complete) << r.line;
    EXPECT_EQ(IsErrorReply(r.line), r.error) << r.line;
    EXPECT_EQ(IsReceiverTimeLine(r.line), r.receiver) << r.line;
  }
}

}  // namespace
}  // namespace horalign::test
