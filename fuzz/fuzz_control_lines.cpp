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

#include "fuzz/fuzz_check.h"
#include "tests/service/service_rig.h"

using namespace horalign;

FUZZ_TARGET(in) {
  // One program for every input, as the service serves one client after another.
  static ServiceRig& s = *[] {
    auto* rig = new ServiceRig;
    rig->app.world.AddDevice(3, {.letter = 'W', .serial = "30303"});
    rig->Start();
    return rig;
  }();
  while (in.remaining_bytes() > 0) {
    const bool mayChange = in.ConsumeIntegral<std::uint8_t>() & 1;
    std::string line;
    while (in.remaining_bytes() > 0) {
      const char c = in.ConsumeIntegral<char>();
      if (c == '\n') break;
      line += c;
    }
    const auto before = s.StoredSettings();
    s.sent.clear();
    s.sessions.Take(1, line, mayChange);
    s.app.world.loop.RunUntil([&] { return !s.sent.empty(); }, 600'000);
    // This client never watches: exactly one line, its answer.
    FUZZ_CHECK(s.sent.size() == 1);
    std::string error;
    const std::optional<Json> parsed = ParseJsonText(s.sent.front(), error);
    FUZZ_CHECK(parsed && parsed->is_object() && (*parsed)["ok"].is_boolean());
    if (!(*parsed)["ok"].get<bool>()) FUZZ_CHECK(!TextOf(*parsed, "message").empty());
    if (!mayChange) FUZZ_CHECK(s.StoredSettings() == before);
  }
}
