#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;
using State = ClockSyncState;
using namespace std::string_literals;
constexpr const char* kUpdated = "Device updated successfully.";
constexpr const char* kUnsync = "Waiting: PC clock not synchronized.";
constexpr const char* kOverBound = "Waiting: PC clock error over bound.";

// Both families active in mode 1, the hold as `hold` stores it, the clock synchronised.
void StartHeld(SimApp& s, const char* hold = "1") {
  s.clockSync.Set(State::kSynchronized, 0.01);
  StartTwoFamilies(s, "Push Only When Synchronized", hold);
}

int Writes(const SimApp& s, int port, std::int64_t fromUs) {
  return static_cast<int>(TimeFramesFrom(s, port, fromUs).size());
}

// The next update cycle falls due within the coming minute, and runs.
void RunCycle(SimApp& s) {
  s.Form().SetMinuteCount(static_cast<std::int16_t>(s.app.Config().UpdateInterval - 1));
  s.Run(61'000);
}

TEST(Hold, ACycleWritesOnlyWhatTheClockStateAllows) {
  const struct {
    const char *what, *hold;
    State state;
    std::optional<double> maxError;
    const char *bound, *status;  // bound: "Maximum Clock Error", nullptr: not stored
  } rows[] = {
      {"within the bound", "1", State::kSynchronized, 0.4, nullptr, kUpdated},
      {"not synchronised", "1", State::kUnsynchronized, 16.0, nullptr, kUnsync},
      {"at the bound", "1", State::kSynchronized, 0.5, nullptr, kUpdated},
      {"over the default bound", "1", State::kSynchronized, 0.6, nullptr, kOverBound},
      {"within a wider bound", "1", State::kSynchronized, 0.6, "2.5", kUpdated},
      {"a corrupt bound is the default", "1", State::kSynchronized, 0.6, "-3", kOverBound},
      {"unknown", "1", State::kUnknown, std::nullopt, nullptr, "Waiting: PC clock state unknown."},
      {"the hold off", "0", State::kUnsynchronized, 16.0, nullptr, kUpdated},
      {"a hold that is no number is off", "yes", State::kUnsynchronized, 16.0, nullptr, kUpdated},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SimApp s;
    if (row.bound) s.Set("Maximum Clock Error", row.bound);
    StartHeld(s, row.hold);
    s.clockSync.Set(row.state, row.maxError);
    const std::int64_t fromUs = s.world.time.NowUs();
    RunCycle(s);
    for (int port : {kLocal, kUtc}) {
      EXPECT_EQ(Writes(s, port, fromUs), row.status == kUpdated ? 1 : 0) << port;
      EXPECT_EQ(s.Cell(port, kColStatus), row.status) << port;
    }
    EXPECT_TRUE(s.view.WindowEnabled() && s.view.ControlEnabled(Control::cmdUpdate));
  }
}

// The state is read before each device: a clock that loses its sync after the first write
// holds the second, which is written once, at the first minute after the clock is back.
TEST(Hold, AChangeInTheMiddleOfACycleHoldsTheRestUntilTheClockIsBack) {
  SimApp s;
  StartHeld(s);
  s.view.onCell = [&](int row, int column, const std::string& text) {
    if (row == kLocal && column == kColStatus && text == kUpdated) {
      s.clockSync.Set(State::kUnsynchronized);
    }
  };
  const std::int64_t cycleUs = s.world.time.NowUs();
  RunCycle(s);
  s.view.onCell = nullptr;
  s.Run(5 * 60'000);  // still held: the minutes go by without a write
  EXPECT_EQ(std::pair(Writes(s, kLocal, cycleUs), Writes(s, kUtc, cycleUs)), std::pair(1, 0));
  EXPECT_EQ(s.Cell(kUtc, kColStatus), kUnsync);
  s.clockSync.Set(State::kSynchronized, 0.02);
  const std::int64_t backUs = s.world.time.NowUs();
  s.Run(62'000);
  EXPECT_EQ(s.Cell(kUtc, kColStatus), kUpdated);
  s.Run(5 * 60'000);
  EXPECT_EQ(std::pair(Writes(s, kLocal, backUs), Writes(s, kUtc, backUs)), std::pair(0, 1));
}

// A jump on an unsynchronised clock queues its pushes; they keep their cause until the
// clock is back.
TEST(Hold, APushWaitsWithItsCause) {
  SimApp s;
  StartHeld(s);
  s.clockSync.Set(State::kUnsynchronized);
  s.Run(1000);
  const std::int64_t jumpUs = s.world.time.NowUs();
  s.world.clock.StepWithNotice(3'600'000'000);
  s.Run(3 * 60'000);
  EXPECT_EQ(Writes(s, kLocal, jumpUs) + Writes(s, kUtc, jumpUs), 0);
  EXPECT_EQ(s.Cell(kLocal, kColStatus), kUnsync);
  s.clockSync.Set(State::kSynchronized, 0.02);
  s.Run(65'000);
  std::vector<std::pair<int, PushCause>> pushes;
  for (const auto& e : s.History()) {
    if (e.action == HistoryAction::kPush && e.ok) pushes.emplace_back(e.port, e.cause);
  }
  EXPECT_EQ(pushes, (std::vector<std::pair<int, PushCause>>{{kLocal, PushCause::kClockStep},
                                                            {kUtc, PushCause::kClockStep}}));
}

// Update Now on a held clock asks once: No writes nothing, Yes writes at once.
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
    EXPECT_EQ(Writes(s, kLocal, fromUs), answer == QV_SYS_Message::kYes ? 1 : 0);
  }
}

// The window and the tray's tip show each change of the state; an unknown one neither.
TEST(Hold, TheWindowAndTheTrayShowTheState) {
  SimApp s;
  StartIn(s, 1, 0);
  const std::string caption = s.Form().Caption();
  const auto shown = [&](State state, std::optional<double> maxError) {
    s.clockSync.Set(state, maxError);
    s.Run(60'000);
    return std::pair(s.view.pcClockState, s.view.trayTip);
  };
  EXPECT_EQ(std::pair(s.view.pcClockState, s.view.trayTip), std::pair(""s, ""s));
  EXPECT_EQ(shown(State::kUnsynchronized, 16.0),
            std::pair("PC clock: not synchronized"s, caption + "\nPC clock: not synchronized"));
  EXPECT_EQ(shown(State::kSynchronized, 0.0125),
            std::pair("PC clock: synchronized (max. error 0.013 s)"s,
                      caption + "\nPC clock: synchronized"));
  EXPECT_EQ(shown(State::kUnknown, std::nullopt), std::pair(""s, caption));
}

}  // namespace
}  // namespace horalign::test
