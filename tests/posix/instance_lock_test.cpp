#include "platform/posix/instance_lock.h"

#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;

// A missing folder is made private; the lock holds against a second guard and another
// program, and goes with its holder however that ends.
TEST(InstanceLock, OneHolderAtATimeUntilItIsDestroyedOrKilled) {
  TempDir dir;
  const std::string folder = dir.path + "/runtime";
  {
    PosixInstanceGuard first(folder);
    ASSERT_TRUE(first.Claim());
    EXPECT_TRUE(first.Claim()) << "claiming again keeps the slot";
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    PosixInstanceGuard second(folder);
    EXPECT_TRUE(!second.Claim() && !second.Held() && second.Usable());
  }
  EXPECT_TRUE(PosixInstanceGuard(folder).Claim()) << "free once its holder is destroyed";
  Child holder({"sh", "-c", "exec 9<>\"$0\" && flock -x 9 && echo held && exec sleep 60",
                folder + "/horalign.lock"});
  ASSERT_EQ(holder.ReadLine(5000), "held");
  PosixInstanceGuard meanwhile(folder);
  EXPECT_FALSE(meanwhile.Claim());
  holder.Stop(SIGKILL);
  EXPECT_TRUE(meanwhile.Claim() && meanwhile.Held());
}

// Two copies whose runtime folders differ or cannot be used (a link, open to others) still
// meet in the settings folder (under XDG_CONFIG_HOME), so the second is refused.
TEST(InstanceLock, AnUnsuitableRuntimeFolderFallsBackToTheSettingsFolder) {
  TempDir dir;
  const std::string good = dir.path + "/runtime", open = dir.path + "/open";
  fs::create_directory(good);
  fs::create_directory(open);
  fs::permissions(open, static_cast<fs::perms>(01777));
  fs::create_directory_symlink(good, dir.path + "/link");
  ScopedEnv config("XDG_CONFIG_HOME", dir.path + "/config");
  const std::pair<std::string, std::string> rows[] = {
      {open, open}, {dir.path + "/link", dir.path + "/link"}, {good, open}, {open, good}};
  for (const auto& [first, second] : rows) {
    ScopedEnv runtime("XDG_RUNTIME_DIR", first);
    PosixInstanceGuard firstCopy;
    ASSERT_TRUE(firstCopy.Claim() && firstCopy.Held()) << first;
    runtime.Set(second);
    EXPECT_FALSE(PosixInstanceGuard().Claim()) << first << " then " << second;
  }
  EXPECT_FALSE(fs::exists(open + "/horalign.lock"));

  // With no private folder at all the program starts unguarded rather than not at all.
  fs::permissions(dir.path + "/config/Quorvane", fs::perms::all);
  ScopedEnv runtime("XDG_RUNTIME_DIR", open);
  PosixInstanceGuard unguarded;
  EXPECT_TRUE(unguarded.Claim() && !unguarded.Usable() && !unguarded.Held());
}

}  // namespace
}  // namespace horalign
