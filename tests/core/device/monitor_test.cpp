#include <gtest/gtest.h>

#include <string>

#include "tests/core/device/paging_fixture.h"

namespace horalign::test {
namespace {

// A poll takes every line waiting, but stops after a line that raised a flag a sender was
// waiting for, so that the sender reads that line in ReplyLine; the rest comes next poll.
TEST(Monitor, TakesEveryWaitingLineButStopsAfterOneThatRaisesAFlag) {
  PagingRig rig;
  auto& dev = rig.Attach(1, {.silent = true});
  dev.SendRaw("*\r?99\r");
  rig.world.loop.RunForMs(500);
  EXPECT_EQ(rig.paging.ReplyLine, "*\r");
  rig.world.loop.RunForMs(500);
  EXPECT_EQ(rig.paging.ReplyLine, "?99\r");
  dev.SendRaw("*\r?99\rLAST\r");  // both flags are up already: one poll takes all three
  rig.world.loop.RunForMs(500);
  EXPECT_EQ(rig.paging.ReplyLine, "LAST\r");
  EXPECT_EQ(rig.paging.LinesReceived(), 5u);
}

// A line without CR is dropped after 20 ticks, and the receiver counts as busy until a poll
// finds the line quiet.
TEST(Monitor, DropsALineWithoutCrAfterTwentyTicksAndStaysBusyUntilAQuietPoll) {
  PagingRig rig;
  auto& dev = rig.Attach(1, {.silent = true});
  dev.SendRaw("abc");
  rig.world.loop.RunForMs(1500);  // the poll at 500 ms began the line
  EXPECT_TRUE(rig.paging.Collecting());
  rig.world.loop.RunForMs(50);  // 21 ticks after the poll
  EXPECT_FALSE(rig.paging.Collecting() || rig.paging.ReceiverIdle);
  rig.world.loop.RunForMs(450);  // the poll at 2000 ms finds nothing waiting
  EXPECT_TRUE(rig.paging.ReceiverIdle);
}

// A poll reads at most 1025 bytes and the delay tick goes on from there (in idle time it
// ticks only for such a line); a line longer than any device's is dropped whole, up to and
// including its CR, and the next line is read.
TEST(Monitor, ReadsABoundedBlockPerTickAndDropsAnOverlongLineUpToItsCr) {
  PagingRig rig;
  auto& dev = rig.Attach(1, {.silent = true});
  dev.SendRaw(std::string(4096, 'x') + "\r");
  rig.world.time.AdvanceTo(5'000'000);  // the 4097 bytes land; no timer runs
  rig.paging.PollSerialInput();
  EXPECT_EQ(rig.serialPort.InBufferCount(), 4097 - 1025);
  rig.world.loop.RunForMs(150);  // three ticks read the rest
  EXPECT_TRUE(!rig.paging.Collecting() && rig.paging.ReceiverIdle);
  EXPECT_EQ(rig.paging.LinesReceived(), 0u);
  dev.SendRaw("*\r");
  rig.world.loop.RunForMs(500);
  EXPECT_EQ(rig.paging.ReplyLine, "*\r");
  EXPECT_EQ(rig.delayTicks, 3) << "the tick counts only while the line is being read";
}

// Reopening drops the line being collected, even one already too long to keep, so the new
// port's first line is read whole; closing drops it at the next tick, and the poll then
// clears the reply line.
TEST(Monitor, AReopenedOrClosedPortDropsTheLineBeingCollected) {
  PagingRig rig;
  auto& dev = rig.world.AddDevice(1, {.silent = true});
  auto& dev2 = rig.world.AddDevice(2);
  rig.Open(1);
  dev.SendRaw(std::string(5000, 'x'));
  rig.world.time.AdvanceTo(6'000'000);
  rig.world.loop.RunForMs(150);  // a poll and three ticks read 4100 bytes: past the limit
  ASSERT_TRUE(rig.paging.Collecting());
  rig.Open(2);
  EXPECT_FALSE(rig.paging.Collecting());
  EXPECT_TRUE(rig.paging.ReceiverIdle);
  ASSERT_TRUE(rig.paging.ProbeDevice());
  EXPECT_EQ(rig.Sent(2).size(), 1u);  // its first answer was read, at the next poll
  dev2.SendRaw("half");
  rig.world.loop.RunForMs(500);
  ASSERT_TRUE(rig.paging.Collecting());
  rig.serialPort.SetPortOpen(false);
  rig.world.loop.RunForMs(50);
  EXPECT_FALSE(rig.paging.Collecting());
  EXPECT_EQ(rig.paging.ReplyLine, "?99\r");
  rig.world.loop.RunForMs(450);
  EXPECT_EQ(rig.paging.ReplyLine, "");
}

}  // namespace
}  // namespace horalign::test
