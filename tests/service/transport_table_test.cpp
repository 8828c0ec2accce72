// The control protocol's table (tests/control/requests.json) over the pipe's lines: every
// request, from a client that may change and from one that may not. tests/cli/bus_test.py
// runs the same table over the system bus.
#include <gtest/gtest.h>

#include <string>

#include "tests/generated/requests_json.h"
#include "tests/service/service_rig.h"

namespace horalign {
namespace {

// A row's expectation for the pipe: its own where it has one, else the common one.
Json Expected(const Json& row, const char* what) {
  const std::string own = std::string("pipe_") + what;
  return row.contains(own) ? row[own] : row.contains(what) ? row[what] : Json(nullptr);
}

std::string Outcome(const Json& answer) {
  return FlagOf(answer, "ok") ? "ok" : TextOf(answer, "error");
}

TEST(TransportTable, EveryRequestOverThePipeGetsWhatTheTableSaysForEachCaller) {
  std::string error;
  const std::optional<Json> table = ParseJsonText(kRequestsJson, error);
  ASSERT_TRUE(table.has_value()) << error;
  ServiceRig rig;
  sim::SimDevice& device = rig.app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
  rig.Start();
  int rows = 0;
  for (const Json& row : (*table)["rows"]) {
    if (row["pipe"].is_null()) continue;
    ++rows;
    const std::string line = JsonLine(row["pipe"]);
    const Json text = Expected(row, "text");
    // The refused caller first: what it asks must leave the allowed one's case as it was.
    for (const char* who : {"refused", "allowed"}) {
      const Json expected = Expected(row, who);
      if (expected.is_null()) continue;
      const bool allowed = std::string(who) == "allowed";
      const auto stored = rig.StoredSettings();
      const std::size_t heard = device.Commands().size();
      const Json answer = rig.Ask(line, allowed);
      const std::string seen = TextOf(row, "what") + ", " + who + ": " + TextOf(answer, "message");
      EXPECT_EQ(Outcome(answer), expected.get<std::string>()) << seen;
      if (text.is_string() && !FlagOf(answer, "ok")) {
        EXPECT_NE(TextOf(answer, "message").find(text.get<std::string>()), std::string::npos)
            << seen;
      }
      if (allowed || expected.get<std::string>() == "ok") continue;
      EXPECT_EQ(rig.StoredSettings(), stored) << seen;
      EXPECT_EQ(device.Commands().size(), heard)
          << seen << ": a refused request reached the device";
    }
  }
  EXPECT_GE(rows, 20);
}

}  // namespace
}  // namespace horalign
