#include <gtest/gtest.h>

#include "sim/sim_app.h"

namespace horalign::test {
namespace {

TEST(Startup, ASecondInstanceSaysSoAndTouchesNothing) {
  sim::SimApp s;
  s.world.AddDevice(1);
  s.Set("Used COM Ports", "1");
  s.Set("Connection Mode", "1");
  const int writesBefore = s.registry.WriteCount();
  s.instance.anotherRunning = true;
  EXPECT_FALSE(s.Start());
  ASSERT_EQ(s.dialog.shown.size(), 1u);
  const MessageLayout& m = s.dialog.Last();
  EXPECT_EQ(m.text, "Horalign is already active.");
  EXPECT_EQ(m.caption, "Horalign - System Message");
  EXPECT_EQ(m.icon, MessageIcon::kCritical);
  EXPECT_EQ(m.focusCode, 0);
  int shownButtons = 0;
  for (const auto& b : m.buttons) shownButtons += b.visible;
  EXPECT_EQ(shownButtons, 1);
  EXPECT_EQ(s.app.MainForm(), nullptr);
  EXPECT_EQ(s.registry.WriteCount(), writesBefore);
  for (int port = 1; port <= 16; ++port) EXPECT_EQ(s.world.serial.OpenAttempts(port), 0);
  EXPECT_TRUE(s.world.serial.WireLog().empty());
}

TEST(Startup, TwoProgramsRunSideBySideInOneProcess) {
  sim::SimApp a, b;
  a.world.AddDevice(2, {.letter = 'J'});
  b.world.AddDevice(2, {.letter = 'K'});
  a.Set("Connection Mode", "1");
  b.Set("Connection Mode", "1");
  a.Set("Used COM Ports", "2");
  b.Set("Used COM Ports", "2");
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_EQ(a.Cell(2, 5), "KR9010");
  EXPECT_EQ(b.Cell(2, 5), "Tone Generator");
}

}  // namespace
}  // namespace horalign::test
