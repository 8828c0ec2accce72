#include <gtest/gtest.h>

#include "core/history/drift_tracker.h"

namespace horalign::test {
namespace {

constexpr std::int64_t kDayMs = 86'400'000;

// A span runs from the read after a write to the read before the next. The figure is the
// least-squares line through the origin of gain against length; a span with a write inside,
// or one of over 1000 ppm, measures nothing. Replayed from the history, a span counts only
// where its entry states the drift it measured and the reads around it agree with that: the
// history need not hold every write, and may have lost lines.
TEST(DriftTracker, FitsTheSpansBetweenWritesLiveAndReplayed) {
  DriftTracker t;
  t.ReadAfterWrite("QM8340", "1", 0, 0.0);
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", kDayMs, 1.0), 1.0);
  t.ReadAfterWrite("QM8340", "1", kDayMs, 0.5);
  t.Forget("QM6840", "1");  // another device: the same S/N, another model
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", 3 * kDayMs, 4.5), 2.0);
  t.ReadAfterWrite("QM8340", "1", 3 * kDayMs, 0.0);
  t.Forget("QM8340", "1");  // written without a read after it
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", 4 * kDayMs, 1.0), std::nullopt);
  t.ReadAfterWrite("QM8340", "1", 4 * kDayMs, 0.0);
  EXPECT_EQ(t.ReadBeforeWrite("QM8340", "1", 5 * kDayMs, 90.0), std::nullopt);
  EXPECT_DOUBLE_EQ(*t.DriftPerDay("QM8340", "1"), 1.8);  // (1 * 1 + 2 * 4) / (1 + 2 * 2)

  const auto read = [&t](int day, std::optional<double> before, std::optional<double> drift,
                         bool ok = true) {
    HistoryEntry e;
    e.utcMs = day * kDayMs, e.model = "QM6840", e.serial = "1", e.ok = ok;
    e.action = HistoryAction::kRead, e.offsetBefore = before, e.offsetAfter = 0.0;
    e.driftPerDay = drift;
    t.Replay(e);
  };
  read(0, {}, {}), read(1, 1.0, 1.0);         // the one span that counts
  read(2, 3.0, {});                           // no drift stated
  read(3, {}, {}, false), read(4, 1.0, 0.5);  // its start failed
  read(6, 1.0, 1.0);                          // 1 s in one day stated, two days found
  read(7, 0.002, 0.0);                        // off by no more than the rounding: counts
  EXPECT_EQ(t.Spans("QM6840", "1"), 2);
  EXPECT_DOUBLE_EQ(*t.DriftPerDay("QM6840", "1"), 0.501);  // (1 * 1 + 1 * 0.002) / (1 + 1)
}

}  // namespace
}  // namespace horalign::test
