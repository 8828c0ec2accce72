#include "sim/virtual_time.h"

#include <gtest/gtest.h>

#include <string>

namespace horalign::sim {
namespace {

TEST(VirtualTime, RunsEventsInTimeOrderAndSameTimeEventsInSchedulingOrder) {
  VirtualTime t;
  std::string ran;
  t.At(300, [&] { ran += "c"; });
  t.At(100, [&] { ran += "a"; });
  t.At(300, [&] { ran += "d"; });
  t.At(200, [&] { ran += "b"; });
  t.AdvanceTo(250);
  EXPECT_EQ(ran, "ab");
  EXPECT_EQ(t.NowUs(), 250);
  EXPECT_EQ(t.NextEventUs(), 300);
  t.AdvanceTo(1000);
  EXPECT_EQ(ran, "abcd");
  EXPECT_EQ(t.NextEventUs(), -1);
}

TEST(VirtualTime, HonoursEventsScheduledWhileRunningAtTheirOwnTimes) {
  VirtualTime t;
  std::string ran;
  std::int64_t innerAt = -1;
  t.At(100, [&] {
    ran += "a";
    t.After(0, [&] { ran += "b"; });
    t.After(50, [&] {
      ran += "c";
      innerAt = t.NowUs();
    });
    t.After(5000, [&] { ran += "late"; });
  });
  t.At(120, [&] { ran += "x"; });
  t.AdvanceTo(1000);
  EXPECT_EQ(ran, "abxc");
  EXPECT_EQ(innerAt, 150);
}

TEST(VirtualTime, NeverGoesBackAndRunsPastDueEventsNow) {
  VirtualTime t;
  t.AdvanceTo(500);
  t.AdvanceTo(100);
  EXPECT_EQ(t.NowUs(), 500);
  std::int64_t ranAt = -1;
  t.At(10, [&] { ranAt = t.NowUs(); });
  t.AdvanceTo(0);
  EXPECT_EQ(ranAt, 500);
}

TEST(VirtualTime, ACancelledEventNeverRunsAndItsHandleGoesStale) {
  VirtualTime t;
  int runs = 0;
  EventId id = t.At(100, [&] { ++runs; });
  EventId copy = id;
  EXPECT_TRUE(t.Pending(id));
  EXPECT_TRUE(t.Cancel(id));
  EXPECT_FALSE(id.Valid());
  // The freed slot is reused; the old handle must not reach the new event.
  EventId other = t.At(100, [&] { runs += 10; });
  EXPECT_EQ(other.slot, copy.slot);
  EXPECT_FALSE(t.Cancel(copy));
  t.AdvanceTo(200);
  EXPECT_EQ(runs, 10);
  EXPECT_FALSE(t.Pending(other));
}

}  // namespace
}  // namespace horalign::sim
