#include "platform/posix/instance_lock.h"

#include <sys/stat.h>

#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

namespace fs = std::filesystem;
using namespace rig;

// A missing folder is made private; the lock holds against a second guard and a second
// process, and goes with its holder however that ends.
TEST(InstanceLock, OneHolderAtATimeUntilItIsDestroyedOrKilled) {
  TempDir dir;
  const std::string folder = dir.path + "/runtime";
  {
    PosixInstanceGuard first(folder);
    ASSERT_TRUE(first.Claim());
    EXPECT_TRUE(first.Claim()) << "claiming again keeps the slot";
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    PosixInstanceGuard second(folder);
    EXPECT_FALSE(second.Claim());
    EXPECT_FALSE(second.Held());
    EXPECT_TRUE(second.Usable());
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    PosixInstanceGuard guard(folder);
    (void)!::write(ready[1], guard.Claim() ? "y" : "n", 1);
    ::pause();
  }
  char claimed = 0;
  EXPECT_EQ(::read(ready[0], &claimed, 1), 1);
  EXPECT_EQ(claimed, 'y') << "the slot is free once its holder is destroyed";
  PosixInstanceGuard meanwhile(folder);
  EXPECT_FALSE(meanwhile.Claim());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(meanwhile.Claim());
  EXPECT_TRUE(meanwhile.Held());
  ::close(ready[0]);
  ::close(ready[1]);
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
    std::optional<ScopedEnv> runtime(std::in_place, "XDG_RUNTIME_DIR", first);
    PosixInstanceGuard firstCopy;
    ASSERT_TRUE(firstCopy.Claim()) << first;
    EXPECT_TRUE(firstCopy.Held()) << first;
    runtime.emplace("XDG_RUNTIME_DIR", second);
    EXPECT_FALSE(PosixInstanceGuard().Claim()) << first << " then " << second;
  }
  EXPECT_FALSE(fs::exists(open + "/horalign.lock"));

  // With no private folder at all the program starts unguarded rather than not at all.
  fs::permissions(dir.path + "/config/Quorvane", fs::perms::all);
  ScopedEnv runtime("XDG_RUNTIME_DIR", open);
  PosixInstanceGuard unguarded;
  EXPECT_TRUE(unguarded.Claim());
  EXPECT_FALSE(unguarded.Usable());
  EXPECT_FALSE(unguarded.Held());
}

}  // namespace
}  // namespace horalign
