#include <gtest/gtest.h>

#include <functional>

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

// A clock the test moves: each sleep lasts as long as asked plus the case's lateness, and
// during the first `jumps` sleeps the clock also jumps by `jumpUs`; a stopped clock stands.
struct SleepCase {
  const char* name;
  std::int64_t startMicro, latenessUs = 0, jumpUs = 0;
  int jumps = 0;
  bool stopped = false;
  bool reached = true;
  int sleeps = 1;  // when reached
};

class JumpingClock : public Clock {
 public:
  explicit JumpingClock(const SleepCase& c)
      : c_(c), nowUs_(ToEpochMicros({2026, 12, 5, 14, 5, 9}) + c.startMicro) {}
  CivilTime UtcNow() override {
    ++reads;
    return FromEpochMicros(nowUs_);
  }
  CivilTime LocalNow() override { return UtcNow(); }
  ClockSetResult SetLocal(const CivilTime&) override { return ClockSetResult::kFailed; }
  void SleepMicros(std::int64_t us) override {
    sleptUs += us + c_.latenessUs;
    if (!c_.stopped) nowUs_ += us + c_.latenessUs + (sleeps < c_.jumps ? c_.jumpUs : 0);
    ++sleeps;
  }
  int reads = 0, sleeps = 0;
  std::int64_t sleptUs = 0;

 private:
  SleepCase c_;
  std::int64_t nowUs_;
};

class SecondStart : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SecondStart, IsSleptForAndGivenUpWithinABound) {
  const SleepCase c = GetParam();
  JumpingClock clock(c);
  const bool reached = SleepToSecondStart(clock);
  EXPECT_EQ(reached, c.reached);
  EXPECT_LE(clock.reads, clock.sleeps + 1) << "no reading without a sleep between";
  if (reached) {
    const int ms = clock.UtcNow().Millisecond();
    EXPECT_GE(ms, 1);
    EXPECT_LE(ms, 99);
    EXPECT_EQ(clock.sleeps, c.sleeps);
  } else {
    EXPECT_LE(clock.sleptUs, 4'000'000);
    EXPECT_LE(clock.sleeps, 16);
  }
}

// Name, start (µs past a second), lateness of each sleep, jump, jumps, stopped, reached,
// sleeps.
INSTANTIATE_TEST_SUITE_P(
    Clocks, SecondStart,
    ::testing::Values(SleepCase{"AlreadyJustPastASecond", 1'500, 0, 0, 0, false, true, 0},
                      SleepCase{"Steady", 500'000, 0, 0, 0, false, true, 1},
                      SleepCase{"WokenALittleLate", 500'000, 40'000, 0, 0, false, true, 1},
                      SleepCase{"SteppedBackOnce", 500'000, 0, -300'000, 1, false, true, 2},
                      SleepCase{"AlwaysWokenTooLate", 500'000, 150'000, 0, 0, false, false},
                      SleepCase{"SteppedBackAtEverySleep", 500'000, 0, -700'000, 99, false, false},
                      SleepCase{"StoppedJustBeforeASecond", 999'999, 0, 0, 0, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteTime, WithAClockThatNeverReachesASecondStartNoTimeCommandIsSent) {
  SimApp s;
  s.world.AddDevice(1, {.letter = 'W'});
  s.world.AddDevice(2, {.letter = 'A'});
  StartIn(s, 1, 3);
  RunToSubsecond(s, 500'000);
  // From now on the PC clock stands still.
  std::function<void()> stand = [&] {
    s.world.clock.StepWallMicros(-1000);
    s.world.time.After(1000, stand);
  };
  s.world.time.After(1000, stand);
  for (int port : {1, 2}) {
    Click(s, port, &QV_MainForm::OnUpdateClick);
    EXPECT_EQ(s.Cell(port, kColStatus), "Error updating device.") << port;
  }
  EXPECT_TRUE(SentStartingWith(s, 1, "T").empty());
  EXPECT_TRUE(SentStartingWith(s, 2, "PT").empty());
}

}  // namespace
}  // namespace horalign::test
