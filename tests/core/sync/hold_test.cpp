#include <gtest/gtest.h>

#include <cctype>

#include "core/sync/clock_hold.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;
using State = ClockSyncState;
constexpr std::int64_t kSecond = 1'000'000;
constexpr int kLocal = 1, kUtc = 16;

// Both families active in mode 1, the hold on, the clock synchronised.
void StartHeld(SimApp& s, const char* hold = "1") {
  s.world.AddDevice(kLocal, {.letter = 'A'});
  s.world.AddDevice(kUtc, {.letter = 'W'});
  s.Set("Push Only When Synchronized", hold);
  s.clockSync.Set(State::kSynchronized, 0.01);
  StartIn(s, 1, 1 << 0 | 1 << 15);
}

// How many time commands a port took from virtual time `fromUs` on.
int TimeWritesFrom(const SimApp& s, int port, std::int64_t fromUs) {
  int found = 0;
  for (const auto& l : s.world.serial.LinesToDevice(port)) {
    const bool utc = l.text.size() > 1 && l.text[0] == 'T' && std::isdigit(l.text[1]);
    found += l.firstByteUs >= fromUs && (utc || l.text.starts_with("PT"));
  }
  return found;
}

// Lets the next update cycle fall due within the coming minute, and runs it.
void RunCycle(SimApp& s) {
  s.Form().SetMinuteCount(static_cast<std::int16_t>(s.app.Config().UpdateInterval - 1));
  s.Run(61'000);
}

TEST(Hold, ACycleWritesOnlyWhatTheClockStateAllows) {
  struct Row {
    const char* what;
    const char* hold;
    State state;
    std::optional<double> maxError;
    const char* bound;  // "Maximum Clock Error"; nullptr: not stored
    const char* status;
  };
  const char* updated = "Device updated successfully.";
  const Row rows[] = {
      {"synchronised within the bound", "1", State::kSynchronized, 0.4, nullptr, updated},
      {"not synchronised", "1", State::kUnsynchronized, 16.0, nullptr,
       "Waiting: PC clock not synchronized."},
      {"error over the default bound", "1", State::kSynchronized, 0.6, nullptr,
       "Waiting: PC clock error over bound."},
      {"error within a wider bound", "1", State::kSynchronized, 0.6, "2.5", updated},
      {"a corrupt bound is the default", "1", State::kSynchronized, 0.6, "-3",
       "Waiting: PC clock error over bound."},
      {"state unknown", "1", State::kUnknown, std::nullopt, nullptr,
       "Waiting: PC clock state unknown."},
      {"the hold off", "0", State::kUnsynchronized, 16.0, nullptr, updated},
      {"a hold that is no number is off", "yes", State::kUnsynchronized, 16.0, nullptr, updated},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimApp s;
    if (row.bound) s.Set("Maximum Clock Error", row.bound);
    StartHeld(s, row.hold);
    s.clockSync.Set(row.state, row.maxError);
    const std::int64_t fromUs = s.world.time.NowUs();
    RunCycle(s);
    const bool written = std::string(row.status) == updated;
    for (int port : {kLocal, kUtc}) {
      EXPECT_EQ(TimeWritesFrom(s, port, fromUs), written ? 1 : 0) << port;
      EXPECT_EQ(s.Cell(port, kColStatus), row.status) << port;
    }
    EXPECT_TRUE(s.view.WindowEnabled() && s.view.ControlEnabled(Control::cmdUpdate));
  }
}

// The state is read before each device: a clock that loses its sync after the first write
// holds the second, which is written at the first minute after the clock is back.
TEST(Hold, AChangeInTheMiddleOfACycleHoldsTheRestUntilTheClockIsBack) {
  SimApp s;
  StartHeld(s);
  s.view.onCell = [&](int row, int column, const std::string& text) {
    if (row == kLocal && column == kColStatus && text == "Device updated successfully.")
      s.clockSync.Set(State::kUnsynchronized);
  };
  const std::int64_t cycleUs = s.world.time.NowUs();
  RunCycle(s);
  s.view.onCell = nullptr;
  EXPECT_EQ(TimeWritesFrom(s, kLocal, cycleUs), 1);
  EXPECT_EQ(TimeWritesFrom(s, kUtc, cycleUs), 0);
  EXPECT_EQ(s.Cell(kUtc, kColStatus), "Waiting: PC clock not synchronized.");
  s.Run(5 * 60'000);  // still held: the minutes go by without a write
  EXPECT_EQ(TimeWritesFrom(s, kUtc, cycleUs), 0);

  s.clockSync.Set(State::kSynchronized, 0.02);
  const std::int64_t backUs = s.world.time.NowUs();
  s.Run(62'000);
  EXPECT_EQ(TimeWritesFrom(s, kUtc, backUs), 1);
  EXPECT_EQ(TimeWritesFrom(s, kLocal, backUs), 0);
  EXPECT_EQ(s.Cell(kUtc, kColStatus), "Device updated successfully.");
  s.Run(5 * 60'000);  // owed once, written once
  EXPECT_EQ(TimeWritesFrom(s, kUtc, backUs), 1);
}

// A jump on an unsynchronised clock queues its pushes; they keep their cause until the
// clock is back.
TEST(Hold, APushWaitsWithItsCause) {
  SimApp s;
  StartHeld(s);
  s.clockSync.Set(State::kUnsynchronized);
  s.Run(1000);
  const std::int64_t jumpUs = s.world.time.NowUs();
  s.world.clock.StepWithNotice(3600 * kSecond);
  s.Run(3 * 60'000);
  EXPECT_EQ(TimeWritesFrom(s, kLocal, jumpUs) + TimeWritesFrom(s, kUtc, jumpUs), 0);
  EXPECT_EQ(s.Cell(kLocal, kColStatus), "Waiting: PC clock not synchronized.");
  s.clockSync.Set(State::kSynchronized, 0.02);
  s.Run(65'000);
  std::vector<std::pair<int, PushCause>> pushes;
  for (const auto& e : s.History()) {
    if (e.action == HistoryAction::kPush && e.ok) pushes.emplace_back(e.port, e.cause);
  }
  EXPECT_EQ(pushes, (std::vector<std::pair<int, PushCause>>{{kLocal, PushCause::kClockStep},
                                                            {kUtc, PushCause::kClockStep}}));
}

// Update Now on a held clock asks once; No writes nothing, Yes writes at once.
TEST(Hold, UpdateNowOnAHeldClockAsksOnce) {
  for (const int answer : {QV_SYS_Message::kNo, QV_SYS_Message::kYes}) {
    SimApp s;
    StartHeld(s);
    s.clockSync.Set(State::kSynchronized, 3.0);
    const std::size_t shown = s.dialog.shown.size();
    const std::int64_t fromUs = s.world.time.NowUs();
    s.dialog.Answer(answer);
    Click(s, kLocal, &QV_MainForm::OnUpdateClick);
    ASSERT_EQ(s.dialog.shown.size(), shown + 1);
    EXPECT_EQ(s.dialog.Last().text,
              "The PC clock may be off by more than the bound set.\r\nWrite its time to the "
              "device anyway?");
    EXPECT_EQ(TimeWritesFrom(s, kLocal, fromUs), answer == QV_SYS_Message::kYes ? 1 : 0);
    EXPECT_TRUE(s.view.WindowEnabled());
  }
}

// The state is shown as it changes, in the window and in the tray's tip; an unknown state
// leaves both as they were.
TEST(Hold, TheWindowAndTheTrayShowTheState) {
  SimApp s;
  s.Set("Connection Mode", "1");
  s.Start();
  EXPECT_EQ(s.view.pcClockState, "");
  EXPECT_EQ(s.view.trayTip, "");
  s.clockSync.Set(State::kUnsynchronized);
  s.Run(61'000);
  EXPECT_EQ(s.view.pcClockState, "PC clock: not synchronized");
  EXPECT_EQ(s.view.trayTip, s.Form().Caption() + "\nPC clock: not synchronized");
  s.clockSync.Set(State::kSynchronized, 0.0125);
  s.Run(60'000);
  EXPECT_EQ(s.view.pcClockState, "PC clock: synchronized (max. error 0.013 s)");
  EXPECT_EQ(s.view.trayTip, s.Form().Caption() + "\nPC clock: synchronized");
  s.clockSync.Set(State::kUnknown);
  s.Run(60'000);
  EXPECT_EQ(s.view.pcClockState, "");
  EXPECT_EQ(s.view.trayTip, s.Form().Caption());
}

}  // namespace
}  // namespace horalign::test
