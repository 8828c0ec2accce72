#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/platform/clock.h"
#include "core/ui/port_list.h"
#include "core/ui/text_format.h"
#include "core/util/civil.h"
#include "sim/world.h"
#include "tests/core/faults/fault_app.h"

namespace horalign::test {
namespace {

// A clock that refuses to be set: the row says why, with its time stamp, and nothing else
// changes: not the clock, not the other cells, not the settings, not the window.
struct RefusalCase {
  const char* what;
  ClockSetResult refusal;
  bool receiver;  // the time comes as a receiver event, else as a "QT" reply
  const char* status;
};

TEST(ClockRefusal, TheRowSaysSoAndNothingElseChanges) {
  const char* const noRight = "Unable to set PC time - insufficient rights.";
  const char* const autoSync = "Unable to set PC time - automatic time synchronization is on.";
  const RefusalCase cases[] = {
      {"QT reply without the right", ClockSetResult::kNoRight, false, noRight},
      {"QT reply, set failed", ClockSetResult::kFailed, false, "Error reading device."},
      {"receiver event without the right", ClockSetResult::kNoRight, true, noRight},
      {"receiver event, set failed", ClockSetResult::kFailed, true, "Error reading device."},
      {"QT reply, the system keeps its own time", ClockSetResult::kAutoSyncOn, false, autoSync},
      {"receiver event, the system keeps its own time", ClockSetResult::kAutoSyncOn, true,
       autoSync},
  };
  for (const RefusalCase& c : cases) {
    sim::SimApp s;
    auto& device = s.world.AddDevice(7, {.letter = c.receiver ? sim::kNoLetter : 'K',
                                         .clockOffsetSeconds = 5400,
                                         .eventEverySeconds = 0});
    StartWith(s, kModePcFromDevice, 1 << 6);
    s.Run(2000);
    const auto rowsBefore = s.view.rows;
    const int writesBefore = s.registry.WriteCount();
    s.world.clock.RefuseSets(c.refusal);

    if (c.receiver) {
      s.Form().Context().MinuteCount = 58;  // events count in the interval's last two minutes
      device.SendRaw(device.TimeEvent());
      s.Run(1000);
    } else {
      UpdateNow(s, 7);
    }

    ASSERT_EQ(s.world.clock.SetLog().size(), 1u) << c.what;
    EXPECT_EQ(s.world.clock.SetLog()[0].result, c.refusal) << c.what;
    EXPECT_EQ(s.world.clock.WallStepMicros(), 0) << c.what;
    EXPECT_EQ(s.Cell(7, kColStatus), c.status) << c.what;
    // Stamped when the set was refused (the clock was not moved, so it reads true time).
    const std::int64_t refusedUs = s.world.clock.SetLog()[0].atUs;
    const CivilTime refusedAt =
        FromEpochMicros(s.world.clock.TrueUtcEpochMicros() - s.world.time.NowUs() + refusedUs);
    EXPECT_EQ(s.Cell(7, kColStatusTime), FormatStatusTime(refusedAt, s.view.locale)) << c.what;
    for (int row = 1; row <= kPortRows; ++row) {
      for (int column = 0; column < kPortColumns; ++column) {
        if (row == 7 && (column == kColStatus || column == kColStatusTime)) continue;
        EXPECT_EQ(s.Cell(row, column), rowsBefore[row - 1][column])
            << c.what << ": row " << row << ", column " << column;
      }
    }
    EXPECT_EQ(s.registry.WriteCount(), writesBefore) << c.what;
    EXPECT_TRUE(s.view.enabled) << c.what;
    EXPECT_FALSE(s.pointer.busy) << c.what;
    EXPECT_FALSE(s.Form().UserBusy()) << c.what;
  }
}

}  // namespace
}  // namespace horalign::test
