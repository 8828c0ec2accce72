#include <gtest/gtest.h>

#include <functional>

#include "core/util/civil.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// Runs the loop until the PC's local clock reads `local` (on the offset in force).
void RunToLocal(SimApp& s, const CivilTime& local) {
  const std::int64_t offsetUs = std::int64_t{s.world.clock.LocalOffsetMinutes()} * kMinuteUs;
  RunToUs(s,
          s.world.time.NowUs() + ToEpochMicros(local) - offsetUs - s.world.clock.UtcEpochMicros());
}

CivilTime T(int year, int month, int day, int hour, int minute = 0, int second = 0) {
  return {year, month, day, hour, minute, second};
}

struct Jump {
  const char* what;
  CivilTime utcAtStart, jumpAtLocal;
  int offsetMinutes;
  std::function<void(sim::VirtualClock&)> jump;
  const char* localWrite;  // the start of the local device's push and its date; "": none
  PushCause cause;         // as the history gives it
  bool utcPushed = false;
  std::int64_t withinUs = 2'000'000;  // from the jump to the push's first byte
  std::int16_t mode = 1;
};

// Every cause pushes, once, within its deadline, with the time as it now reads.
TEST(Push, EachJumpWritesTheDevicesThatNowShowTheWrongTime) {
  const auto offsetTo = [](int minutes) {
    return [minutes](sim::VirtualClock& c) { c.ChangeOffsetWithNotice(minutes); };
  };
  const auto step = [](std::int64_t us) {
    return [us](sim::VirtualClock& c) { c.StepWithNotice(us); };
  };
  const auto resume = [](sim::VirtualClock& c) { c.SleepAndResume(3 * kHourUs); };
  const CivilTime sat = T(2026, 12, 5, 14, 5, 9), sat1406 = T(2026, 12, 5, 14, 6);
  constexpr PushCause kOffset = PushCause::kOffsetChange, kStep = PushCause::kClockStep,
                      kResume = PushCause::kResume;
  const Jump rows[] = {
      {"DST begins at 02:00", T(2027, 3, 28, 0, 59), T(2027, 3, 28, 2), 60, offsetTo(120),
       "PT0300 PD0328271\r", kOffset},
      {"DST ends at 03:00", T(2026, 10, 25, 0, 59), T(2026, 10, 25, 3), 120, offsetTo(60),
       "PT0200 PD1025261\r", kOffset},
      {"US DST ends at 02:00", T(2026, 11, 1, 5, 59), T(2026, 11, 1, 2), -240, offsetTo(-300),
       "PT0100 PD1101261\r", kOffset},
      {"step back across midnight", T(2026, 12, 5, 23, 59), T(2026, 12, 6, 0, 0, 20), 0,
       step(-90 * kSecondUs), "PT2358 PD1205267\r", kStep, true},
      {"step forwards", sat, sat1406, 0, step(kHourUs), "PT1506 PD1205267\r", kStep, true},
      {"a trim of 0.5 s", sat, sat1406, 0, step(-kSecondUs / 2), "", kStep},
      {"resume after 3 h", sat, sat1406, 0, resume, "PT1706 PD1205267\r", kResume, true,
       5 * kSecondUs},
      {"resume in mode 2", sat, sat1406, 0, resume, "", kResume, false, 0, 2},
  };
  for (const Jump& row : rows) {
    SCOPED_TRACE(row.what);
    SimApp s({.utcAtStart = row.utcAtStart, .localOffsetMinutes = row.offsetMinutes});
    StartTwoFamilies(s);
    s.app.Config().ConnectionMode = row.mode;
    RunToLocal(s, row.jumpAtLocal);
    s.Run(300);  // the platform's notice comes a little after the whole second
    row.jump(s.world.clock);
    const std::int64_t jumpUs = s.world.time.NowUs();
    // Two minutes on: a burst of missed minute cycles would write again.
    s.Run(120'000);
    int earlier = 0;  // each device takes a second boundary of its own
    std::vector<std::tuple<int, HistoryAction, PushCause, bool>> kept, expected;
    for (int port : {kLocal, kUtc}) {
      const auto frames = TimeFramesFrom(s, port, jumpUs);
      const bool pushed = port == kLocal ? *row.localWrite != 0 : row.utcPushed;
      ASSERT_EQ(frames.size(), pushed ? 1u : 0u) << "COM" << port;
      if (!pushed) continue;
      EXPECT_LE(frames[0].firstByteUs - jumpUs, row.withinUs + kSecondUs * earlier++) << port;
      expected.emplace_back(port, HistoryAction::kPush, row.cause, true);
    }
    // Each push is in the history with its cause; nothing else was written after the jump.
    for (const auto& e : s.History()) {
      if (e.action != HistoryAction::kConnect) kept.emplace_back(e.port, e.action, e.cause, e.ok);
    }
    EXPECT_EQ(kept, expected);
    if (*row.localWrite) {
      EXPECT_EQ(TimeFramesFrom(s, kLocal, jumpUs)[0].text.substr(0, 6) + " " +
                    SentStartingWith(s, kLocal, "PD").back().text,
                row.localWrite);
    }
  }
}

// A jump while a device is written waits for that operation, then writes the devices that
// now show the wrong time, the one written before the jump included.
TEST(Push, AJumpDuringAnUpdateIsQueuedThenPushed) {
  SimApp s;
  StartTwoFamilies(s);
  s.Run(5000);
  std::int64_t jumpUs = 0;
  s.world.time.After(300'000, [&] {
    jumpUs = s.world.time.NowUs();
    s.world.clock.StepWithNotice(-kHourUs);
  });
  Click(s, kUtc, &QV_MainForm::OnUpdateClick);
  const std::int64_t updateEndUs = s.world.time.NowUs();
  ASSERT_GT(jumpUs, 0);
  ASSERT_LT(jumpUs, updateEndUs);
  ASSERT_TRUE(TimeFramesFrom(s, kLocal, 0).empty());  // no push ran inside the update
  // The push holds the window as an update cycle does, and gives it back.
  bool lockedMeanwhile = false;
  s.world.loop.SetYieldHook([&](std::int64_t) { lockedMeanwhile |= !s.view.WindowEnabled(); });
  s.Run(3000);
  s.world.loop.SetYieldHook(nullptr);
  EXPECT_TRUE(lockedMeanwhile);
  EXPECT_TRUE(s.view.WindowEnabled() && s.view.ControlEnabled(Control::cmdUpdate));
  int earlier = 0;
  for (int port : {kLocal, kUtc}) {
    const auto frames = TimeFramesFrom(s, port, updateEndUs);
    ASSERT_EQ(frames.size(), 1u) << "COM" << port;
    EXPECT_LE(frames[0].firstByteUs - updateEndUs, kSecondUs * ++earlier + kSecondUs / 2);
  }
  EXPECT_EQ(SentStartingWith(s, kLocal, "PT").back().text.substr(0, 6), "PT1305");
  std::vector<std::tuple<int, HistoryAction, PushCause>> kept;
  for (const auto& e : s.History()) kept.emplace_back(e.port, e.action, e.cause);
  using enum HistoryAction;
  EXPECT_EQ(kept, (decltype(kept){{kLocal, kConnect, PushCause::kNone},
                                  {kUtc, kConnect, PushCause::kNone},
                                  {kUtc, kWrite, PushCause::kNone},
                                  {kLocal, kPush, PushCause::kClockStep},
                                  {kUtc, kPush, PushCause::kClockStep}}));
}

// "0" leaves the wire exactly as it is when nobody reports the jump at all; so does "0" for
// reading back the writes. Steps, new offsets and resumes come as one notice, turned away
// before its kind is looked at: a step stands for all three.
TEST(Push, SettingZeroLeavesTheWireAsWithoutNotices) {
  std::vector<sim::WireLine> wires[2];
  for (bool notice : {false, true}) {
    SimApp s;
    if (notice) s.Set("Verify Writes", "0");
    StartTwoFamilies(s, "Push On Time Change", notice ? "0" : nullptr);
    s.Run(20'000);
    notice ? s.world.clock.StepWithNotice(-kHourUs) : s.world.clock.StepWallMicros(-kHourUs);
    s.Run(70 * 60'000);
    for (int port : {kLocal, kUtc}) {
      for (const auto& l : s.world.serial.LinesToDevice(port)) wires[notice].push_back(l);
    }
  }
  EXPECT_FALSE(wires[0].empty());
  EXPECT_EQ(wires[0], wires[1]);
}

}  // namespace
}  // namespace horalign::test
