#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ui/port_list.h"
#include "sim/sim_app.h"

namespace horalign::test {

// Stores a mode and the active-port mask, then runs the load sequence.
inline void StartIn(sim::SimApp& s, int mode, int usedPorts) {
  s.Set("Connection Mode", std::to_string(mode));
  s.Set("Used COM Ports", std::to_string(usedPorts));
  s.Start();
}

// The lines the PC sent to a port, each with its CR.
inline std::vector<std::string> SentTo(const sim::SimApp& s, int port) {
  std::vector<std::string> texts;
  for (const auto& line : s.world.serial.LinesToDevice(port)) texts.push_back(line.text);
  return texts;
}

// The lines sent to a port that begin with `prefix`.
inline std::vector<sim::WireLine> SentStartingWith(const sim::SimApp& s, int port,
                                                   const std::string& prefix) {
  std::vector<sim::WireLine> found;
  for (const auto& line : s.world.serial.LinesToDevice(port)) {
    if (line.text.starts_with(prefix)) found.push_back(line);
  }
  return found;
}

// The time commands ("T" with digits, "PT") a port took from virtual time `fromUs` on.
inline std::vector<sim::WireLine> TimeFramesFrom(const sim::SimApp& s, int port,
                                                 std::int64_t fromUs) {
  std::vector<sim::WireLine> found;
  for (const auto& l : s.world.serial.LinesToDevice(port)) {
    const bool utc = l.text.size() > 1 && l.text[0] == 'T' && std::isdigit(l.text[1]);
    if (l.firstByteUs >= fromUs && (utc || l.text.starts_with("PT"))) found.push_back(l);
  }
  return found;
}

// Lets the world and the timers run until the PC's UTC clock reads `us` past a whole second.
inline void RunToSubsecond(sim::SimApp& s, std::int64_t us) {
  const std::int64_t now = s.world.clock.UtcEpochMicros() % 1'000'000;
  const std::int64_t wait = (us - now + 1'000'000) % 1'000'000;
  s.world.loop.RunForMs(wait / 1000);
  s.world.clock.SleepMicros(wait % 1000);
  s.world.loop.ProcessPending();
}

// Lets the world and the timers run until virtual time reaches `us` (or the next whole
// millisecond after it).
inline void RunToUs(sim::SimApp& s, std::int64_t us) {
  s.world.loop.RunForMs((us - s.world.time.NowUs() + 999) / 1000);
}

// The texts written to a row's status under a busy pointer, in order, each change once.
class StatusTrail {
 public:
  StatusTrail(sim::SimApp& s, int row) : s_(s) {
    s.view.onCell = [this, row](int r, int column, const std::string& text) {
      if (r != row || column != kColStatus || !s_.pointer.busy) return;
      if (texts.empty() || texts.back() != text) texts.push_back(text);
    };
  }
  ~StatusTrail() { s_.view.onCell = nullptr; }
  StatusTrail(const StatusTrail&) = delete;
  StatusTrail& operator=(const StatusTrail&) = delete;
  std::vector<std::string> texts;

 private:
  sim::SimApp& s_;
};

// The user selects a row and presses a button that acts on it.
inline void Click(sim::SimApp& s, int row, void (QV_MainForm::*handler)()) {
  s.Select(row);
  (s.Form().*handler)();
}

}  // namespace horalign::test
