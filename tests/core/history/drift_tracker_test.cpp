#include <gtest/gtest.h>

#include "core/history/drift_tracker.h"

namespace horalign::test {
namespace {

constexpr std::int64_t kDayMs = 86'400'000;

// A span runs from the read after a write to the read before the next; the figure is the
// least-squares line through the origin of gain against length, so long spans count more.
TEST(DriftTracker, FitsTheSpansBetweenWritesAndSkipsTheOnesThatMeasureNothing) {
  DriftTracker t;
  t.ReadAfterWrite("QM8340", "1", 0, 0.0);
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", kDayMs, 1.0), 1.0);
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", kDayMs, 1.0), std::nullopt);  // closed already
  t.ReadAfterWrite("QM8340", "1", kDayMs, 0.5);
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", 3 * kDayMs, 4.5), 2.0);
  // Another model with the same S/N is another device.
  t.ReadAfterWrite("QM6840", "1", 0, 0.0);
  t.Forget("QM6840", "1");  // written without a read after it
  EXPECT_EQ(t.ReadBeforeWrite("QM6840", "1", kDayMs, 1.0), std::nullopt);
  t.ReadAfterWrite("QM6840", "1", kDayMs, 0.0);
  EXPECT_EQ(t.ReadBeforeWrite("QM6840", "1", 2 * kDayMs, 90.0), std::nullopt);  // > 1000 ppm
  EXPECT_DOUBLE_EQ(*t.DriftPerDay("QM8340", "1"), 1.8);  // (1 * 1 + 2 * 4) / (1 + 2 * 2)
  EXPECT_EQ(t.DriftPerDay("QM6840", "1"), std::nullopt);
}

// From the history a span counts only where its entry states the drift it measured, and
// the two reads around it agree with that: a write between them, or a lost line, is not
// always in the history.
TEST(DriftTracker, ReplaysOnlyTheSpansTheHistoryVouchesFor) {
  const auto entry = [](std::int64_t ms, std::optional<double> before, std::optional<double> after,
                        std::optional<double> drift, HistoryAction action = HistoryAction::kRead,
                        bool ok = true) {
    HistoryEntry e;
    e.utcMs = ms, e.model = "QM8340", e.serial = "2", e.action = action, e.ok = ok;
    e.offsetBefore = before, e.offsetAfter = after, e.driftPerDay = drift;
    return e;
  };
  DriftTracker t;
  for (const HistoryEntry& e :
       {entry(0, {}, 0.0, {}), entry(kDayMs / 2, {}, {}, {}, HistoryAction::kWrite),
        entry(kDayMs, 1.0, {}, 1.0),                                 // the one span that counts
        entry(kDayMs, {}, 0.0, {}), entry(2 * kDayMs, 3.0, {}, {}),  // no stated drift
        entry(2 * kDayMs, {}, 0.0, {}), entry(2 * kDayMs, {}, {}, {}, HistoryAction::kRead, false),
        entry(3 * kDayMs, 0.5, {}, 0.5),                                     // its start failed
        entry(3 * kDayMs, {}, 0.0, {}), entry(5 * kDayMs, 1.0, {}, 1.0)}) {  // lines lost
    t.Replay(e);
  }
  EXPECT_EQ(t.Spans("QM8340", "2"), 1);
  EXPECT_EQ(t.DriftPerDay("QM8340", "2"), 1.0);
}

}  // namespace
}  // namespace horalign::test
