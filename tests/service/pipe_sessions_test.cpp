// The service's control lines (control/pipe_sessions.h) on the simulated program: what a client
// that may not change is refused, what a wrong line gets, and that neither changes anything.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/service/service_rig.h"

namespace horalign {
namespace {

struct Control : ServiceRig {
  Control() {
    device = &app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
    control.AddListener(sessions);
    Start();
  }
  sim::SimDevice* device = nullptr;
};

TEST(PipeSessions, WrongLinesAreAnsweredWithTheirErrorAndChangeNothing) {
  Control c;
  const auto settings = c.StoredSettings();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"request": "SetInterval", "minutes": 75)", "BadRequest"},
      {std::string(40, '[') + std::string(40, ']'), "BadRequest"},
      {R"({"id": true, "request": "GetPorts"})", "BadRequest"},
      {R"({"request": 7})", "BadRequest"},
      {R"({"request": "SetInterval", "minutes": 75.5})", "InvalidArgs"},
      {R"({"request": "SetInterval", "minutes": 10000})", "InvalidArgs"},
      {R"({"request": "SetMode"})", "InvalidArgs"},
      {R"({"request": "SetMode", "mode": -1})", "InvalidArgs"},
      {R"({"request": "SetActivePorts", "ports": [3, "7"]})", "InvalidArgs"},
      {R"({"request": "SetActivePorts", "ports": 3})", "InvalidArgs"},
      {R"({"request": "SetVerifyWrites", "on": 1})", "InvalidArgs"},
      {R"({"request": "Read", "port": 3, "setPc": "yes"})", "InvalidArgs"},
      {R"({"request": "Update", "port": 0})", "InvalidArgs"},
      {R"({"request": "update", "port": 3})", "UnknownRequest"},
  };
  for (const auto& [line, error] : cases) {
    const Json answer = c.Ask(line, true);
    EXPECT_EQ(TextOf(answer, "error"), error) << line;
    EXPECT_FALSE(TextOf(answer, "message").empty()) << line;
  }
  EXPECT_EQ(c.StoredSettings(), settings);
  // The same client goes on being served; an id comes back as it was sent.
  const Json answer = c.Ask(R"({"id": "x\u00e9", "request": "SetInterval", "minutes": 75})", true);
  EXPECT_EQ(TextOf(answer, "id"), "x\xc3\xa9");
  EXPECT_EQ(c.app.Stored("Update Interval"), "75");
}

// A watching client hears of the settings another client changed.
TEST(PipeSessions, AWatcherHearsOfChangedSettings) {
  Control c;
  c.Ask(R"({"request": "Watch"})", false);
  const Json answer = c.Ask(R"({"request": "Update", "port": 3})", true);
  EXPECT_EQ(TextOf(answer, "status"), "Device updated successfully.");
  c.Ask(R"({"request": "SetVerifyWrites", "on": true})", true);
  std::string error;
  const Json event = ParseJsonText(c.sent[c.sent.size() - 2], error).value();
  EXPECT_EQ(TextOf(event, "event"), "SettingsChanged");
  EXPECT_TRUE(FlagOf(event["settings"], "verifyWrites"));
}

// Pipelined requests are answered in the order they came, also a read the state answers at
// once behind an update that takes seconds; a client that only sends is dropped.
TEST(PipeSessions, AnswersComeInTheOrderOfTheRequestsAndAClientThatDoesNotReadIsDropped) {
  Control c;
  c.sessions.Take(1, R"({"id": 1, "request": "Update", "port": 3})", true);
  c.sessions.Take(1, R"({"id": 2, "request": "GetPorts"})", true);
  c.sessions.Take(1, R"({"id": 3, "request": "GetPorts"} x)", true);
  EXPECT_TRUE(c.sent.empty()) << "a later answer went ahead of the update's";
  c.app.world.loop.RunUntil([&] { return c.sent.size() >= 3; }, 60'000);
  ASSERT_EQ(c.sent.size(), 3u);
  std::string error;
  for (int id = 1; id <= 3; ++id) {
    const Json answer = ParseJsonText(c.sent[static_cast<std::size_t>(id - 1)], error).value();
    EXPECT_EQ(answer.contains("id"), id < 3) << id;
    EXPECT_EQ(FlagOf(answer, "ok"), id < 3) << id;
  }
  std::vector<int> dropped;
  PipeSessions flooded(
      c.control, [](int, const std::string&) {}, [&](int client) { dropped.push_back(client); });
  for (std::size_t i = 0; i <= PipeSessions::kMaxOutstanding; ++i) {
    flooded.Take(9, R"({"request": "Update", "port": 3})", true);
  }
  EXPECT_EQ(dropped, std::vector<int>{9});
}

// A device's time reply goes on as text: noise is cleaned, a valid reply's CR kept.
TEST(PipeSessions, ADevicesTimeReplyReachesClientsCleaned) {
  Control c;
  c.device->Config().timeReply = "12\x1b[2J\xff";
  const Json answer = c.Ask(R"({"request": "Read", "port": 3})", false);
  EXPECT_EQ(TextOf(answer, "reply"), "12\\x1B[2J\xef\xbf\xbd\r");
}

}  // namespace
}  // namespace horalign
