#pragma once

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/ui/port_list.h"
#include "sim/sim_app.h"

namespace horalign::test {

constexpr std::int64_t kSecondUs = 1'000'000, kMinuteUs = 60 * kSecondUs, kHourUs = 60 * kMinuteUs;

// Stores a mode and the active-port mask, then runs the load sequence.
inline void StartIn(sim::SimApp& s, int mode, int usedPorts) {
  s.Set("Connection Mode", std::to_string(mode));
  s.Set("Used COM Ports", std::to_string(usedPorts));
  s.Start();
}

// One device on `port`, that port alone active, started in `mode`.
inline sim::SimDevice& StartWith(sim::SimApp& s, int mode, int port,
                                 const sim::SimDeviceConfig& config) {
  sim::SimDevice& device = s.world.AddDevice(port, config);
  StartIn(s, mode, 1 << (port - 1));
  return device;
}

// COM1 takes local time in "PT" and "PD", COM16 UTC in one "T" command: both active in mode
// 1, with `setting` stored as `value` first unless `value` is null.
constexpr int kLocal = 1, kUtc = 16;
inline void StartTwoFamilies(sim::SimApp& s, const char* setting = nullptr,
                             const char* value = nullptr) {
  s.world.AddDevice(kLocal, {.letter = 'A'});
  s.world.AddDevice(kUtc, {.letter = 'W'});
  if (value) s.Set(setting, value);
  StartIn(s, 1, 1 << 0 | 1 << 15);
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

// Whether each of `controls` is enabled: '+' or '-' each, in turn.
inline std::string Enabled(const sim::SimApp& s, std::initializer_list<Control> controls) {
  std::string on;
  for (Control c : controls) on += s.view.ControlEnabled(c) ? '+' : '-';
  return on;
}

// A shown message as "<icon> <buttons shown> f<focus> e<Esc's button>: <text>", the caption in
// brackets when it is not the usual one. Icons: Critical, Question, Exclamation, Information.
inline std::string Seen(const MessageLayout& m) {
  std::string seen = std::string(1, "CQEI"[static_cast<int>(m.icon)]) + " ";
  for (const auto& b : m.buttons) seen += b.visible ? std::to_string(b.code) : "";
  seen += " f" + std::to_string(m.focusCode) + " e" + std::to_string(m.escapeCode);
  if (m.caption != "Horalign - System Message") seen += " [" + m.caption + "]";
  return seen + (m.optionVisible ? " +option: " : ": ") + m.text;
}

// The user selects a row and presses a button that acts on it.
inline void Click(sim::SimApp& s, int row, void (QV_MainForm::*handler)()) {
  s.Select(row);
  (s.Form().*handler)();
}

}  // namespace horalign::test
