#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "core/sync/feed_sample.h"
#include "core/sync/time_sync.h"
#include "core/util/civil.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// Mode 2 feeding the time daemon from a receiver on COM2 that speaks every second, on time,
// once it has been identified. The port is read as its bytes arrive, as the service reads it.
struct FeedScenario {
  explicit FeedScenario(const std::string& settings, double offsetSeconds = 2.5, bool feed = true) {
    s.Set("Feed Time Daemon", feed ? "1" : "0");
    s.Set("Serial COM Port", "2");
    receiver = &StartWith(s, 2, 2,
                          {.letter = sim::kNoLetter,
                           .settings = settings,
                           .clockOffsetSeconds = offsetSeconds,
                           .eventEverySeconds = 1,
                           .eventsOnTime = true,
                           .eventsAfterSeconds = 30});
    reader = s.world.loop.CreateTimer(1, true, [this] {
      QV_Paging& paging = s.app.Paging();
      paging.Collecting() ? paging.ContinueCollecting() : paging.PollSerialInput();
    });
  }
  SimApp s;
  sim::SimDevice* receiver = nullptr;
  std::unique_ptr<Timer> reader;
};

// Each sample is dated when the event's first byte began to arrive, whatever the baud rate
// the program speaks (a line at 1200 baud takes 133 ms, read in many chunks), and carries the
// receiver's lead (ahead or behind). No reading steps the PC, whether the daemon takes it or
// not; with the feed off the interval's last two minutes step it and the daemon hears nothing.
TEST(TimeDaemonFeed, DatesEachReadingAtItsFirstByteAndNeverStepsThePc) {
  for (const auto& [settings, lead, result, status] :
       {std::tuple("1200,N,8,1", 2.5, FeedResult::kSent, kFeedSentText),
        {"9600,N,8,1", -1.25, FeedResult::kNoDaemon, kFeedNotTakenText},
        {"38400,N,8,1", 2.5, FeedResult::kRefused, kFeedNotTakenText}}) {
    SCOPED_TRACE(settings);
    FeedScenario f(settings, lead);
    f.s.feed.result = result;
    RunToUs(f.s, 40 * kSecondUs);
    const auto& samples = f.s.feed.samples;
    ASSERT_GE(samples.size(), 5u);
    const std::int64_t epochAtZero = f.s.world.clock.UtcEpochMicros() - f.s.world.time.NowUs();
    for (const TimeDaemonSample& got : samples) {
      // The event whose first byte lies nearest.
      std::int64_t nearest = INT64_MAX;
      for (const sim::DeviceLine& line : f.receiver->Sent()) {
        const std::int64_t d = got.pcUtcMicros - (epochAtZero + line.causeUs);
        if (line.command.empty() && std::llabs(d) < std::llabs(nearest)) nearest = d;
      }
      EXPECT_LE(std::llabs(nearest), 1000);
      EXPECT_NEAR(got.offsetSeconds, lead, 0.001);
      EXPECT_EQ(got.leap, 0);
    }
    EXPECT_TRUE(f.s.world.clock.SetLog().empty()) << "the PC clock is never stepped";
    EXPECT_EQ(f.s.Cell(2, kColStatus), status);
  }
  FeedScenario off("9600", -1.25, false);
  off.s.Form().SetMinuteCount(58);
  RunToUs(off.s, 35 * kSecondUs);
  EXPECT_TRUE(off.s.feed.samples.empty());
  EXPECT_EQ(off.s.Cell(2, kColStatus), "PC updated successfully.");
}

// A reading's instant, offset and leap flag, across midnight and with the device's latency.
TEST(TimeDaemonFeed, ReadingsBecomeSamples) {
  const std::int64_t day = ToEpochMicros(CivilTime{2026, 12, 5, 0, 0, 0});
  struct Case {
    const char* text;
    std::int64_t firstByteUs;  // from `day`, UTC
    std::int64_t shiftMinutes;
    std::int64_t latencyUs;
    double offset;
    int leap;
  };
  // 14:05 at the receiver is 07:05 local.
  const Case cases[] = {
      {"037146214050\r", 7 * 3600 * kSecondUs + 5 * 60 * kSecondUs - 300'000, 0, 0, 0.3, 0},
      {"037146214050\r", 7 * 3600 * kSecondUs + 5 * 60 * kSecondUs + 20'000, 0, 20'000, 0, 0},
      // Local time one hour ahead of UTC: 07:05 local is 06:05 UTC.
      {"037146214050\r", 6 * 3600 * kSecondUs + 5 * 60 * kSecondUs + 2 * kSecondUs, 60, 0, -2, 0},
      // Seconds and a leap flag after the check digit.
      {"03714621405042+\r", 7 * 3600 * kSecondUs + 5 * 60 * kSecondUs + 40 * kSecondUs, 0, 0, 2, 1},
      {"03714621405007-\r", 7 * 3600 * kSecondUs + 5 * 60 * kSecondUs + 7 * kSecondUs, 0, 0, 0, 2},
      // The part numbers that name the minute as it ends: 07:05:59.
      {"037143714050\r", 7 * 3600 * kSecondUs + 6 * 60 * kSecondUs, 0, 0, -1, 0},
      // 23:59:59 local (receiver 06:59:59) read a second before midnight, and 23:59:58 read
      // a second past it: the day that is ending.
      {"03714620659059\r", -kSecondUs, 0, 0, 0, 0},
      {"03714620659058\r", 24 * 3600 * kSecondUs + kSecondUs, 0, 0, -3, 0},
      // The inserted second 23:59:60 counts as the midnight it ends at.
      {"03714620659060+\r", 24 * 3600 * kSecondUs, 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<SourceReading> reading = ReadReceiverEvent(c.text);
    ASSERT_TRUE(reading.has_value());
    const TimeDaemonSample s =
        MakeSample(*reading, day + c.firstByteUs, c.shiftMinutes * 60 * kSecondUs, c.latencyUs);
    EXPECT_EQ(s.pcUtcMicros, day + c.firstByteUs - c.latencyUs);
    EXPECT_NEAR(s.offsetSeconds, c.offset, 1e-9);
    EXPECT_EQ(s.leap, c.leap);
  }
  // The event's checks are DecideReceiverEvent's, tried in read_time_test.cpp.
  EXPECT_FALSE(ReadReceiverEvent("037146214051\r").has_value());
}

}  // namespace
}  // namespace horalign::test
