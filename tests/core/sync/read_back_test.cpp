#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;
constexpr std::int64_t kMinuteMs = 60'000, kDayMs = 1440 * kMinuteMs;

struct Recorder final : HistorySink {
  std::function<void(const HistoryEntry&)> check;
  std::vector<HistoryEntry> entries;
  void Append(const HistoryEntry& e) override {
    entries.push_back(e);
    check(e);
  }
};

struct Drifting {
  char letter;
  double ppm;
  std::optional<std::string> timeReply{};
  const char* failure = nullptr;
};

// A week of hourly updates, each read back: every read is within 6 ms of the device's true
// offset, and each device's drift within 1 % of how fast its clock runs. A device that answers
// the query with garbage or not at all is written all the same, its reads recorded as failed.
// A push between two cycles writes without reading, so the span across it is left out.
TEST(ReadBack, AWeekOfVerifiedWritesGivesEachDevicesDrift) {
  const Drifting devices[] = {{'W', 20},
                              {'K', -50},
                              {'T', 100},
                              {'W', 0, "0930", "Unreadable answer to the time query."},
                              {'W', 0, "", "No answer to the time query."},
                              {'A', 0}};
  SimApp s({.localOffsetMinutes = 60});
  for (int port = 1; port <= 6; ++port) {
    const Drifting& d = devices[port - 1];
    s.world.AddDevice(port, {.letter = d.letter,
                             .serial = std::to_string(port * 11111),
                             .clockOffsetSeconds = 123.4 * port,
                             .driftPpm = d.ppm,
                             .timeReply = d.timeReply});
  }
  s.Set("Verify Writes", "1");
  StartIn(s, 1, 0x3f);
  std::map<int, int> unspanned;  // reads before a write that closed no span
  Recorder history;
  history.check = [&](const HistoryEntry& e) {
    const Drifting& d = devices[e.port - 1];
    EXPECT_EQ(e.status, d.failure ? d.failure : "Device time read.");
    if (!e.ok) return;
    unspanned[e.port] += e.offsetBefore && !e.driftPerDay;
    const std::int64_t pcUs =
        s.world.clock.UtcEpochMicros() + (sim::LetterKeepsUtc(d.letter) ? 0 : 3'600'000'000);
    const double offset = static_cast<double>(s.world.devices[e.port - 1]->ClockEpochUs() - pcUs);
    EXPECT_NEAR(e.offsetBefore.value_or(e.offsetAfter.value_or(0)), offset / 1e6, 0.006);
  };
  s.Form().Sync().SetHistory(&history);
  s.world.time.At(s.world.time.NowUs() + 3 * kDayMs * 1000 + 1'800'000'000,
                  [&] { s.world.clock.StepWithNotice(30'000'000); });
  s.Run(7 * kDayMs);
  DriftTracker replayed;
  for (const HistoryEntry& e : history.entries) replayed.Replay(e);
  for (int port = 1; port <= 6; ++port) {
    SCOPED_TRACE(port);
    const Drifting& d = devices[port - 1];
    const auto drift =
        s.Form().Sync().Drift().DriftPerDay(s.Cell(port, kColDevice), std::to_string(port * 11111));
    EXPECT_EQ(s.Cell(port, kColStatus), "Device updated successfully.");
    EXPECT_EQ(SentStartingWith(s, port, "QT").empty(), d.letter == 'A');
    if (d.ppm == 0) {
      EXPECT_EQ(drift, std::nullopt);
      continue;
    }
    ASSERT_TRUE(drift);
    EXPECT_NEAR(*drift, d.ppm * 0.0864, std::abs(d.ppm) * 0.0864 * 0.01);
    EXPECT_EQ(unspanned[port], 2);  // the first read, and the first after the push
    EXPECT_EQ(replayed.DriftPerDay(s.Cell(port, kColDevice), std::to_string(port * 11111)), drift);
  }
  EXPECT_TRUE(s.world.clock.SetLog().empty());
}

// Only the schedule's writes are read back, and only with "Verify Writes" on; "0" leaves the
// wire exactly as it is without the setting.
TEST(ReadBack, OnlyScheduledWritesAreReadBack) {
  std::map<std::string, std::vector<sim::WireLine>> wires;
  for (const std::string setting : {"", "0", "1"}) {
    SCOPED_TRACE(setting);
    SimApp s;
    s.world.AddDevice(1, {.letter = 'W'});
    if (!setting.empty()) s.Set("Verify Writes", setting);
    StartIn(s, 1, 1);
    Click(s, 1, &QV_MainForm::OnUpdateClick);
    s.world.clock.StepWithNotice(-30'000'000);
    s.Run(61 * kMinuteMs);
    wires[setting] = s.world.serial.LinesToDevice(1);
    const auto writes = SentStartingWith(s, 1, "T"), reads = SentStartingWith(s, 1, "QT");
    ASSERT_EQ(writes.size(), 3u);  // Update Now, the push, the cycle
    ASSERT_EQ(reads.empty(), setting != "1");
    if (reads.empty()) continue;
    EXPECT_GT(reads.front().firstByteUs, writes[1].firstByteUs);
    EXPECT_LT(reads.front().firstByteUs, writes[2].firstByteUs);
    EXPECT_GT(reads.back().firstByteUs, writes[2].firstByteUs);
  }
  EXPECT_EQ(wires[""], wires["0"]);
}

}  // namespace
}  // namespace horalign::test
