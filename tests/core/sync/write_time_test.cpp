#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

std::string Two(int n) {
  return ZeroPad(n % 100, 2);
}

// Ten hours east of UTC: at 14:05 UTC on Saturday it is already Sunday 00:05 locally.
const sim::WorldOptions kEastOfUtc{.localOffsetMinutes = 600};

TEST(WriteTime, SendsTheUtcFamilyOneConfirmedFrameJustAfterASecondStarts) {
  SimApp s(kEastOfUtc);
  auto& device = s.world.AddDevice(2, {.letter = 'W'});
  StartIn(s, 1, 2);
  Click(s, 2, &QV_MainForm::OnUpdateClick);
  const auto frames = SentStartingWith(s, 2, "T");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_LT(frames[0].firstByteUs % 1'000'000, 5'000);
  const CivilTime utc = FromEpochMicros(s.world.clock.UtcEpochMicros() - s.world.time.NowUs() +
                                        frames[0].firstByteUs);
  EXPECT_EQ(frames[0].text, "T" + Two(utc.hour) + Two(utc.minute) + Two(utc.second) +
                                Two(utc.month) + Two(utc.day) + Two(utc.year) + "U?W\r");
  EXPECT_EQ(utc.day, 5) << "the UTC date, not the local one";
  EXPECT_EQ(s.Cell(2, kColStatus), "Device updated successfully.");
  EXPECT_EQ(s.Cell(2, kColStatusTime), StampNow(s));
  EXPECT_NEAR(static_cast<double>(device.ClockEpochUs() - s.world.clock.UtcEpochMicros()), 0,
              50'000);
}

struct LocalCase {
  const char* name;
  bool refuseLongPt, refusePd;
  std::vector<std::string> commandShapes;  // "PT" + digits count, "PD"
};

class WriteLocalFamily : public ::testing::TestWithParam<LocalCase> {};

TEST_P(WriteLocalFamily, SetsTheLocalTimeThenTheDateAndCountsTheTimeAsTheUpdate) {
  const LocalCase c = GetParam();
  SimApp s(kEastOfUtc);
  s.world.AddDevice(4, {.letter = 'A', .refuseLongPt = c.refuseLongPt, .refusePd = c.refusePd});
  StartIn(s, 1, 8);
  Click(s, 4, &QV_MainForm::OnUpdateClick);
  const auto lines = s.world.serial.LinesToDevice(4);
  std::vector<sim::WireLine> commands;
  for (const auto& l : lines) {
    if (l.text.starts_with("PT") || l.text.starts_with("PD")) commands.push_back(l);
  }
  ASSERT_EQ(commands.size(), c.commandShapes.size());
  EXPECT_LT(commands[0].firstByteUs % 1'000'000, 5'000);
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const CivilTime local = LocalAt(s, commands[i].firstByteUs);
    std::string expected = "PD" + Two(local.month) + Two(local.day) + Two(local.year) +
                           std::to_string(local.weekday) + "\r";
    if (c.commandShapes[i] == "PT6") {
      expected = "PT" + Two(local.hour) + Two(local.minute) + Two(local.second) + "\r";
    } else if (c.commandShapes[i] == "PT4") {
      expected = "PT" + Two(local.hour) + Two(local.minute) + "\r";
    }
    EXPECT_EQ(commands[i].text, expected) << i;
  }
  // Sunday the 6th locally: the date and weekday come from the local clock.
  EXPECT_EQ(commands.back().text, "PD1206261\r");
  EXPECT_EQ(s.Cell(4, kColStatus), "Device updated successfully.");
}

INSTANTIATE_TEST_SUITE_P(
    Devices, WriteLocalFamily,
    ::testing::Values(LocalCase{"TakesEverything", false, false, {"PT6", "PD"}},
                      LocalCase{"TakesOnlyTheShortTime", true, false, {"PT6", "PT4", "PD"}},
                      LocalCase{"RefusesTheDate", false, true, {"PT6", "PD"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteTime, ADeviceThatRefusesBothTimeFormsIsAnError) {
  SimApp s;
  auto& device = s.world.AddDevice(4, {.letter = 'A'});
  StartIn(s, 1, 8);
  device.Config().fixedReply = "?99";
  EXPECT_FALSE(s.Form().Sync().WriteTime(4));
  EXPECT_EQ(SentStartingWith(s, 4, "PD").size(), 0u);
  EXPECT_EQ(SentStartingWith(s, 4, "PT").size(), 2u);
  EXPECT_EQ(s.Cell(4, kColStatus), "Error updating device.");
}

TEST(WriteTime, ADeviceThatStillDoesNotConnectGetsNoCommandAndAFreshStatusTime) {
  SimApp s;
  s.world.AddDevice(3, {.letter = 'W', .silent = true});
  StartIn(s, 1, 4);
  ASSERT_EQ(s.Cell(3, kColDetected), "No");
  const std::string firstStamp = s.Cell(3, kColStatusTime);
  const std::size_t linesBefore = SentTo(s, 3).size();
  EXPECT_FALSE(s.Form().Sync().WriteTime(3));
  const auto lines = SentTo(s, 3);
  ASSERT_EQ(lines.size(), linesBefore + 6) << "three probes of two CRs, nothing else";
  for (std::size_t i = linesBefore; i < lines.size(); ++i) EXPECT_EQ(lines[i], "\r");
  EXPECT_EQ(s.Cell(3, kColStatus), "Unable to connect to device - check settings.");
  EXPECT_EQ(s.Cell(3, kColStatusTime), StampNow(s));
  EXPECT_NE(s.Cell(3, kColStatusTime), firstStamp);
}

TEST(WriteTime, EachRowOfACycleWaitsForItsOwnSecondBoundary) {
  SimApp s;
  s.world.AddDevice(3, {.letter = 'W'});
  s.world.AddDevice(7, {.letter = 'R'});
  StartIn(s, 1, 4 + 64);
  s.Run(61 * 60'000);
  const auto third = SentStartingWith(s, 3, "T");
  const auto seventh = SentStartingWith(s, 7, "T");
  ASSERT_EQ(third.size(), 1u);
  ASSERT_EQ(seventh.size(), 1u);
  EXPECT_GE(third[0].firstByteUs, 60LL * 60'000'000);
  EXPECT_LT(third[0].firstByteUs % 1'000'000, 5'000);
  EXPECT_LT(seventh[0].firstByteUs % 1'000'000, 5'000);
  EXPECT_GT(seventh[0].firstByteUs / 1'000'000, third[0].firstByteUs / 1'000'000);
}

TEST(WriteTime, AUtcWriteStartedJustBeforeMidnightCarriesTheNewDate) {
  SimApp s({.utcAtStart = {2026, 12, 31, 23, 59, 0, 0, 5}, .localOffsetMinutes = -300});
  auto& device = s.world.AddDevice(1, {.letter = 'W'});
  StartIn(s, 1, 1);
  // The PC's UTC clock now reads 23:59:59.950.
  const std::int64_t target = ToEpochMicros({2026, 12, 31, 23, 59, 59, 950'000, 5});
  s.world.clock.SleepMicros(target - s.world.clock.UtcEpochMicros());
  Click(s, 1, &QV_MainForm::OnUpdateClick);
  const auto frames = SentStartingWith(s, 1, "T");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].text, "T000000010127U?W\r");
  EXPECT_EQ(device.ClockSets().back().value.year, 2027);
}

}  // namespace
}  // namespace horalign::test
