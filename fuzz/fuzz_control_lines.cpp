// The service's control lines: any bytes, cut into lines, sent by a client that may or may
// not change. Every line gets exactly one answer, a JSON object that says whether it was
// done; nothing a client that may not change sends alters a setting.
//
// Input: one byte per line, its low bit the client's right to change, then the line up to
// the next line break.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/json_read.h"
#include "fuzz/fuzz_check.h"
#include "service/pipe_control.h"
#include "sim/sim_app.h"

using namespace horalign;

namespace {

struct Service {
  Service() {
    app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
    app.Set("Connection Mode", "1");
    app.Set("Used COM Ports", "4");
    app.Start();
  }
  std::map<std::string, std::optional<std::string>> Settings() {
    std::map<std::string, std::optional<std::string>> stored;
    for (const char* name : {"Connection Mode", "Used COM Ports", "Update Interval",
                             "Push On Time Change", "Verify Writes"}) {
      stored[name] = app.Stored(name);
    }
    return stored;
  }

  sim::SimApp app;
  MetricsHistory metrics{app.history};
  std::vector<std::string> answers;
  PipeControl control{app.app,
                      app.view,
                      app.registry,
                      metrics,
                      app.world.loop,
                      "the settings",
                      [](int port) { return "COM" + std::to_string(port); },
                      [this](int, const std::string& line) { answers.push_back(line); }};
};

}  // namespace

FUZZ_TARGET(in) {
  // One program for every input, as the service serves one client after another.
  static Service* service = new Service;
  Service& s = *service;
  while (in.remaining_bytes() > 0) {
    const bool mayChange = in.ConsumeIntegral<std::uint8_t>() & 1;
    std::string line;
    while (in.remaining_bytes() > 0) {
      const char c = in.ConsumeIntegral<char>();
      if (c == '\n') break;
      line += c;
    }
    const auto before = s.Settings();
    s.answers.clear();
    s.control.Take(1, line, mayChange);
    s.app.world.loop.RunUntil([&] { return !s.answers.empty(); }, 600'000);
    // Notifications go to watchers only, and this client never watches long: one answer.
    std::size_t replies = 0;
    for (const std::string& answer : s.answers) {
      std::string error;
      const std::optional<JsonValue> parsed = ParseJson(answer, error);
      FUZZ_CHECK(parsed && parsed->type == JsonValue::Type::kObject);
      if (parsed->Find("event") != nullptr) continue;
      ++replies;
      const JsonValue* ok = parsed->Find("ok");
      FUZZ_CHECK(ok != nullptr && ok->type == JsonValue::Type::kBool);
      if (!ok->boolean) FUZZ_CHECK(!parsed->Find("message")->text.empty());
    }
    FUZZ_CHECK(replies == 1);
    if (!mayChange) FUZZ_CHECK(s.Settings() == before);
  }
}
