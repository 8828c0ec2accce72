#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

// A clock that refuses to be set: the row says why, with its time stamp, and nothing else
// changes: not the clock, not the other cells, not the settings, not the window. Each case:
// the refusal, whether the time comes as a receiver event (else as a "QT" reply), the status,
// and what the history calls it.
TEST(ClockRefusal, TheRowSaysSoAndNothingElseChanges) {
  const char* const noRight = "Unable to set PC time - insufficient rights.";
  const char* const autoSync = "Unable to set PC time - automatic time synchronization is on.";
  using enum HistoryAction;
  for (const auto& [refusal, receiver, status, kept] :
       {std::tuple(ClockSetResult::kNoRight, false, noRight, kRefusal),
        {ClockSetResult::kAutoSyncOn, false, autoSync, kRefusal},
        {ClockSetResult::kFailed, true, "Error reading device.", kRead},
        {ClockSetResult::kAutoSyncOn, true, autoSync, kRefusal}}) {
    SCOPED_TRACE(std::string(status) + (receiver ? ", receiver" : ", QT"));
    sim::SimApp s;
    auto& device = StartWith(s, 2, 7,
                             {.letter = receiver ? sim::kNoLetter : 'K',
                              .clockOffsetSeconds = 5400,
                              .eventEverySeconds = 0});
    s.Run(2000);
    auto rows = s.view.rows;
    const int writesBefore = s.registry.WriteCount();
    s.world.clock.RefuseSets(refusal);
    if (receiver) {
      s.Form().SetMinuteCount(58);  // events count in the interval's last two minutes
      EXPECT_FALSE(s.Form().Sync().ProcessTime(7, device.TimeEvent()));
    } else {
      Click(s, 7, &QV_MainForm::OnUpdateClick);
    }
    ASSERT_EQ(s.world.clock.SetLog().size(), 1u);
    EXPECT_EQ(s.world.clock.SetLog()[0].result, refusal);
    rows[6][kColStatus] = status;
    // Stamped when the set was refused; a receiver takes longer to identify at the load.
    rows[6][kColStatusTime] = receiver ? "12/05/26, 02:05:27 PM" : "12/05/26, 02:05:13 PM";
    EXPECT_EQ(s.view.rows, rows);
    EXPECT_EQ(s.registry.WriteCount(), writesBefore);
    EXPECT_TRUE(s.view.enabled && !s.pointer.busy && !s.Form().UserBusy());
    const HistoryEntry last = s.History().back();
    EXPECT_EQ(std::tuple(last.port, last.action, last.ok, last.status, last.model),
              std::tuple(7, kept, false, status, rows[6][kColDevice]));
  }
}

}  // namespace
}  // namespace horalign::test
