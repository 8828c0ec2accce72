#include "platform/win32/win32_instance.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace horalign {
namespace {

std::string TestName() {
  return "Local\\HoralignTest.Instance." + std::to_string(::GetCurrentProcessId());
}

TEST(Win32InstanceGuard, ASecondClaimIsRefusedWhileTheFirstHoldsTheNameAndFreeAfterwards) {
  auto first = std::make_unique<Win32InstanceGuard>(TestName());
  EXPECT_TRUE(first->Claim());
  EXPECT_TRUE(first->Claim());  // asking again keeps the claim
  Win32InstanceGuard second(TestName());
  EXPECT_FALSE(second.Claim());
  first.reset();  // the holder ends
  Win32InstanceGuard third(TestName());
  EXPECT_TRUE(third.Claim());
}

TEST(Win32InstanceGuard, GuardsOfOtherProgramsDoNotInterfere) {
  Win32InstanceGuard ours(TestName());
  Win32InstanceGuard theirs(TestName() + ".other");
  EXPECT_TRUE(ours.Claim());
  EXPECT_TRUE(theirs.Claim());
}

}  // namespace
}  // namespace horalign
