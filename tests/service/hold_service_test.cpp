// The hold as the service's clients meet it: a held update is refused with its reason and
// done when forced, the state and the hold are read at once, and the journal hears each
// change of the state once.
#include <gtest/gtest.h>

#include <cctype>

#include "service/service_log.h"
#include "tests/service/service_rig.h"

namespace horalign {
namespace {

using State = ClockSyncState;

int TimeCommands(const sim::SimDevice& device) {
  int n = 0;
  for (const sim::DeviceCommand& c : device.Commands()) {
    n += c.line.size() > 1 && c.line[0] == 'T' && std::isdigit(c.line[1]);
  }
  return n;
}

TEST(ServiceHold, AHeldUpdateIsRefusedWithItsReasonAndDoneWhenForced) {
  ServiceRig rig;
  sim::SimDevice& device = rig.app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
  rig.Start();
  rig.app.clockSync.Set(State::kSynchronized, 0.9);
  EXPECT_TRUE(
      FlagOf(rig.Ask(R"({"request":"SetPushOnlyWhenSynchronized","on":true})", true), "ok"));
  EXPECT_EQ(rig.app.Stored("Push Only When Synchronized"), "1");

  // As read at the last minute tick.
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"GetPcClock"})", false)["pcClock"], "state"), "unknown");
  rig.app.Run(61'000);
  const Json clock = rig.Ask(R"({"request":"GetPcClock"})", false);
  EXPECT_EQ(clock["pcClock"],
            Json::parse(R"({"state":"synchronized","maxError":0.9,"estError":null,"source":"",
                            "holdOn":true,"maxClockError":0.5,
                            "held":"Waiting: PC clock error over bound."})"));
  for (const char* refused : {R"({"request":"Update","port":3})", R"({"request":"UpdateAll"})"}) {
    const Json answer = rig.Ask(refused, true);
    EXPECT_EQ(TextOf(answer, "error"), "Held") << refused;
    EXPECT_EQ(TextOf(answer, "message"), "Waiting: PC clock error over bound.") << refused;
  }
  EXPECT_EQ(TimeCommands(device), 0);
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"UpdateForced","port":3})", true), "outcome"), "updated");
  EXPECT_EQ(TimeCommands(device), 1);

  // A wider bound lets it through; the bound is kept as written.
  EXPECT_TRUE(FlagOf(rig.Ask(R"({"request":"SetMaxClockError","seconds":2.5})", true), "ok"));
  EXPECT_EQ(rig.app.Stored("Maximum Clock Error"), "2.5");
  EXPECT_EQ(TextOf(rig.Ask(R"({"request":"Update","port":3})", true), "outcome"), "updated");
  EXPECT_EQ(TimeCommands(device), 2);
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
