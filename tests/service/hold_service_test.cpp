// The hold as the service's clients meet it: a held update is refused with its reason and
// done when forced, the state and the hold are read at once, and the journal hears each
// change of the state once.
#include <gtest/gtest.h>

#include "service/service_log.h"
#include "tests/service/service_rig.h"

namespace horalign {
namespace {

using State = ClockSyncState;

TEST(ServiceHold, AHeldUpdateIsRefusedWithItsReasonAndDoneWhenForced) {
  ServiceRig rig;
  rig.app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
  rig.Start();
  rig.app.clockSync.Set(State::kSynchronized, 0.9);
  rig.Ask(R"({"request":"SetPushOnlyWhenSynchronized","on":true})", true);

  // As read at the last minute tick.
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"GetPcClock"})", false)["pcClock"], "state"), "unknown");
  rig.app.Run(61'000);
  const Json clock = rig.Ask(R"({"request":"GetPcClock"})", false);
  EXPECT_EQ(clock["pcClock"],
            Json::parse(R"({"state":"synchronized","maxError":0.9,"estError":null,"source":"",
                            "holdOn":true,"maxClockError":0.5,
                            "held":"Waiting: PC clock error over bound.",
                            "feedAvailable":true,"feedOn":false,
                            "feedSocket":"/run/horalign/chrony.sock","feedSent":0,
                            "feedRefused":0})"));
  for (const char* refused : {R"({"request":"Update","port":3})", R"({"request":"UpdateAll"})"}) {
    const Json answer = rig.Ask(refused, true);
    EXPECT_EQ(TextOf(answer, "error"), "Held") << refused;
    EXPECT_EQ(TextOf(answer, "message"), "Waiting: PC clock error over bound.") << refused;
  }
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"UpdateForced","port":3})", true), "outcome"), "updated");

  // A wider bound lets it through; the bound is kept as written.
  rig.Ask(R"({"request":"SetMaxClockError","seconds":2.5})", true);
  EXPECT_EQ(rig.app.Stored("Maximum Clock Error"), "2.5");
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"Update","port":3})", true), "outcome"), "updated");
}

// Mode 2 with a receiver on COM3 that speaks every second: the feed and its socket are
// switched through the service, and each reading counts as the daemon took it or not.
// Without a feed (Windows), switching it on is refused and nothing is stored.
TEST(ServiceHold, TheFeedIsSwitchedThroughTheServiceAndItsSamplesCounted) {
  ServiceRig rig;
  rig.app.world.AddDevice(3, {.letter = sim::kNoLetter,
                              .clockOffsetSeconds = 2.5,
                              .eventEverySeconds = 1,
                              .eventsOnTime = true,
                              .eventsAfterSeconds = 30});
  rig.app.Set("Serial COM Port", "3");
  rig.Start(2);
  const auto reader = rig.app.world.loop.CreateTimer(1, true, [&rig] {
    QV_Paging& paging = rig.app.app.Paging();
    paging.Collecting() ? paging.ContinueCollecting() : paging.PollSerialInput();
  });
  rig.Ask(R"({"request":"SetTimeDaemonSocket","path":"/run/x.sock"})", true);
  rig.Ask(R"({"request":"SetFeedTimeDaemon","on":true})", true);
  EXPECT_EQ(rig.app.Stored("Feed Time Daemon"), "1");
  EXPECT_EQ(rig.app.Stored("Time Daemon Socket"), "/run/x.sock");
  rig.app.Run(40'000);
  const std::size_t taken = rig.app.feed.samples.size();
  rig.app.feed.result = FeedResult::kNoDaemon;
  rig.app.Run(5'000);
  const Json c = rig.Ask(R"({"request":"GetPcClock"})", false)["pcClock"];
  EXPECT_TRUE(taken >= 5 && rig.app.feed.samples.size() >= taken + 3);
  EXPECT_EQ(NumberOf(c, "feedSent"), taken);
  EXPECT_EQ(NumberOf(c, "feedRefused"), rig.app.feed.samples.size() - taken);
  EXPECT_TRUE(FlagOf(c, "feedOn") && FlagOf(c, "feedAvailable"));
  EXPECT_EQ(TextOf(c, "feedSocket"), "/run/x.sock");

  ServiceRig windows(false);
  windows.Start(2);
  const Json refused = windows.Ask(R"({"request":"SetFeedTimeDaemon","on":true})", true);
  EXPECT_EQ(TextOf(refused, "error"), "Failed");
  EXPECT_EQ(TextOf(refused, "message"), kNoTimeDaemonText);
  EXPECT_EQ(windows.app.Stored("Feed Time Daemon"), std::nullopt);
  EXPECT_FALSE(
      FlagOf(windows.Ask(R"({"request":"GetPcClock"})", false)["pcClock"], "feedAvailable"));
}

TEST(ServiceHold, TheJournalHearsTheFirstStateAndEachChangeOnce) {
  sim::FakeClockSync fake;
  std::vector<std::pair<LogLevel, std::string>> lines;
  JournaledClockSync journaled(
      fake, [&](LogLevel level, const std::string& line) { lines.emplace_back(level, line); });
  fake.Set(State::kSynchronized, 0.25);
  fake.info.source = "kernel";
  journaled.Read();
  fake.info.maxErrorSeconds = 0.5;  // the figures move: no line
  journaled.Read();
  fake.Set(State::kUnsynchronized, 16.0);
  journaled.Read();
  journaled.Read();
  fake.Set(State::kUnknown);
  journaled.Read();
  const std::vector<std::pair<LogLevel, std::string>> expected = {
      {LogLevel::kInfo, "pc-clock=synchronized max-error=0.250000 source=kernel"},
      {LogLevel::kWarning, "pc-clock=unsynchronized max-error=16.000000 source=kernel"},
      {LogLevel::kInfo, "pc-clock=unknown source=kernel"},
  };
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace horalign
