#include <gtest/gtest.h>

#include <cmath>

#include "sim/recording_history.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

// A week of hourly updates, each read back: every read is within 6 ms of the device's true
// offset, each device's drift within 1 % of how fast its clock runs, and the history gives
// the same figures. A device that answers the query with garbage or not at all is written all
// the same (a slow one too), its reads recorded as failed, as are the reads of a stopped clock. A
// push is not read back, and no span runs across it.
TEST(ReadBack, AWeekOfVerifiedWritesGivesEachDevicesDrift) {
  const struct {
    sim::SimDeviceConfig config;
    const char* status;
  } devices[] = {{{.letter = 'W', .driftPpm = 20}, "Device time read."},
                 {{.letter = 'K', .driftPpm = -50}, "Device time read."},
                 {{.letter = 'T', .driftPpm = 100}, "Device time read."},
                 {{.timeReply = "0930"}, "Unreadable answer to the time query."},
                 {{.timeReply = ""}, "No answer to the time query."},
                 {{.replyDelayUs = 2'000'000}, "No answer to the time query."},
                 {{.timeReply = "09301012052610"}, "Inconsistent answers to the time query."},
                 {{.letter = 'A'}, ""}};
  sim::SimApp s({.localOffsetMinutes = 60});
  for (int port = 1; port <= 8; ++port) {
    sim::SimDeviceConfig c = devices[port - 1].config;
    c.serial = std::string(5, static_cast<char>('0' + port)), c.clockOffsetSeconds = 123.4 * port;
    s.world.AddDevice(port, c);
  }
  s.Set("Verify Writes", "1");
  StartIn(s, 1, 0xff);
  const std::int64_t pushUs = s.world.time.NowUs() + 73 * 3'600'000'000LL + 1'800'000'000;
  s.world.time.At(pushUs, [&] { s.world.clock.StepWithNotice(30'000'000); });
  int unspanned[9] = {};  // reads before a write that close no span
  sim::RecordingHistory history;
  history.onAppend = [&](const HistoryEntry& e) {
    s.history.Append(e);
    if (e.action != HistoryAction::kRead) return;  // the writes' own entries
    EXPECT_EQ(e.status, devices[e.port - 1].status);
    unspanned[e.port] += e.offsetBefore && !e.driftPerDay;
    const bool utc = sim::LetterKeepsUtc(devices[e.port - 1].config.letter);
    const std::int64_t pcUs = s.world.clock.UtcEpochMicros() + (utc ? 0 : 3'600'000'000);
    const auto offsetUs = static_cast<double>(s.world.devices[e.port - 1]->ClockEpochUs() - pcUs);
    if (!e.ok) return;
    EXPECT_NEAR(e.offsetBefore ? *e.offsetBefore : *e.offsetAfter, offsetUs / 1e6, 0.006);
  };
  s.Form().Sync().SetHistory(&history);
  s.Run(7 * 1440 * 60'000);
  sim::SimApp restarted;  // takes its drift figures from the history
  restarted.historyFolder.files = s.historyFolder.files;
  ASSERT_TRUE(restarted.Start());
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    const auto drift =
        s.Form().Sync().Drift().DriftPerDay(s.Cell(port, kColDevice), s.Cell(port, kColSerial));
    EXPECT_EQ(s.Cell(port, kColStatus), "Device updated successfully.");
    for (const auto& l : SentStartingWith(s, port, "QT"))
      EXPECT_GT(std::abs(l.firstByteUs - pushUs), 60'000'000);
    EXPECT_EQ(SentStartingWith(s, port, "QT").empty(), port == 8);
    EXPECT_EQ(unspanned[port], port <= 3 ? 2 : 0);  // the first read, and the first after the push
    EXPECT_EQ(restarted.Form().Sync().Drift().DriftPerDay(s.Cell(port, kColDevice),
                                                          s.Cell(port, kColSerial)),
              drift);
    ASSERT_EQ(drift.has_value(), port <= 3);
    if (!drift) continue;
    EXPECT_NEAR(*drift, devices[port - 1].config.driftPpm * 0.0864, std::abs(*drift) / 100);
  }
  EXPECT_TRUE(s.world.clock.SetLog().empty());
}

// The queries of a verified cycle are timed by the loop: between two ticks of a 50 ms timer
// no more than 100 ms pass but for the sleeps to a second's start before each time command.
TEST(ReadBack, AVerifiedCycleOfFourDevicesLetsTheLoopRunBetweenItsQueries) {
  sim::SimApp s;
  const char letters[] = {'W', 'K', 'T', 'W'};
  for (int port = 1; port <= 4; ++port) {
    s.world.AddDevice(port, {.letter = letters[port - 1], .clockOffsetSeconds = 0.37 * port});
  }
  s.Set("Verify Writes", "1");
  StartIn(s, 1, 0xf);
  std::vector<std::pair<std::int64_t, std::int64_t>> secondStarts;  // virtual start, end
  s.world.clock.SetSleepHook([&](std::int64_t startUs, std::int64_t micros) {
    const std::int64_t endPastUs = (s.world.clock.UtcEpochMicros() + micros) % 1'000'000;
    if (endPastUs >= 1'000 && endPastUs < 100'000) {
      secondStarts.emplace_back(startUs, startUs + micros);
    }
  });
  std::vector<std::int64_t> ticks;
  const auto ticker =
      s.world.loop.CreateTimer(50, true, [&] { ticks.push_back(s.world.time.NowUs()); });
  s.Form().SetMinuteCount(59);
  s.world.loop.RunForMs(70'000);
  EXPECT_EQ(SentStartingWith(s, 1, "QT").size() + SentStartingWith(s, 4, "QT").size(), 4u * 8);
  std::int64_t longestUs = 0;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    std::int64_t gapUs = ticks[i] - ticks[i - 1];
    for (const auto& [from, to] : secondStarts) {
      gapUs -= std::max<std::int64_t>(0, std::min(to, ticks[i]) - std::max(from, ticks[i - 1]));
    }
    longestUs = std::max(longestUs, gapUs);
  }
  EXPECT_LT(longestUs, 100'000);
}

// A wall clock that stands still (set back as fast as it runs, by something else) never
// reaches the moment a query waits for: the wait gives up after a few rounds and the
// read-back goes on, rather than holding the cycle for as long as the clock stands.
TEST(ReadBack, AClockThatStandsStillHoldsAQueryForAFewSecondsOnly) {
  sim::SimApp s;
  s.Set("Verify Writes", "1");
  StartWith(s, 1, 1, {.letter = 'W', .clockOffsetSeconds = 0.37});
  std::int64_t frozenFromUs = -1, lastUs = 0;
  const auto stand = s.world.loop.CreateTimer(10, true, [&] {
    const std::int64_t nowUs = s.world.time.NowUs();
    if (frozenFromUs < 0 && !SentStartingWith(s, 1, "QT").empty()) frozenFromUs = nowUs;
    if (frozenFromUs >= 0 && nowUs - frozenFromUs < 30'000'000) {
      s.world.clock.StepWallMicros(-(nowUs - lastUs));
    }
    lastUs = nowUs;
  });
  s.Form().SetMinuteCount(59);
  s.world.loop.RunForMs(70'000);
  const auto queries = SentStartingWith(s, 1, "QT");
  ASSERT_GE(queries.size(), 2u);
  EXPECT_LT(queries[1].firstByteUs - queries[0].firstByteUs, 10'000'000);  // not 30 s
  EXPECT_EQ(s.Cell(1, kColStatus), "Device updated successfully.");
}

}  // namespace
}  // namespace horalign::test
