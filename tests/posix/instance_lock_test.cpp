#include "platform/posix/instance_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace horalign {
namespace {

namespace fs = std::filesystem;

class InstanceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "horalign-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // Exit status of a forked child that tries to claim the slot: 0 claimed, 1 refused.
  int ClaimInChild() {
    const pid_t child = ::fork();
    if (child == 0) {
      PosixInstanceGuard guard(folder_);
      ::_exit(guard.Claim() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string folder_;
};

TEST_F(InstanceLock, TheFirstClaimSucceedsAndASecondGuardOrProcessIsRefused) {
  PosixInstanceGuard first(folder_);
  ASSERT_TRUE(first.Claim());
  EXPECT_TRUE(first.Held());
  EXPECT_TRUE(first.Claim()) << "claiming again keeps the slot";

  PosixInstanceGuard second(folder_);
  EXPECT_FALSE(second.Claim());
  EXPECT_FALSE(second.Held());
  EXPECT_TRUE(second.Usable());
  EXPECT_EQ(ClaimInChild(), 1);
}

TEST_F(InstanceLock, TheSlotIsFreeOnceTheHolderIsDestroyed) {
  {
    PosixInstanceGuard first(folder_);
    ASSERT_TRUE(first.Claim());
  }
  PosixInstanceGuard next(folder_);
  EXPECT_TRUE(next.Claim());
  EXPECT_TRUE(next.Held());
}

TEST_F(InstanceLock, TheSlotIsFreeAfterTheHoldingProcessIsKilled) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixInstanceGuard holder(folder_);
    const char claimed = holder.Claim() ? 'y' : 'n';
    (void)!::write(ready[1], &claimed, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char claimed = 0;
  ASSERT_EQ(::read(ready[0], &claimed, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(claimed, 'y');

  PosixInstanceGuard meanwhile(folder_);
  EXPECT_FALSE(meanwhile.Claim());

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(meanwhile.Claim());
}

// Two copies whose runtime folders differ or cannot be used (a link, open to others) still
// meet in the settings folder (under XDG_CONFIG_HOME), so the second is refused.
TEST_F(InstanceLock, AnUnsuitableRuntimeFolderFallsBackToTheSettingsFolder) {
  const fs::path good = fs::path(folder_) / "runtime";
  const fs::path open = fs::path(folder_) / "open";
  const fs::path link = fs::path(folder_) / "link";
  fs::create_directory(good);
  fs::create_directory(open);
  ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
  fs::create_directory_symlink(good, link);
  std::optional<std::string> saved[2];
  const char* names[2] = {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"};
  for (int i = 0; i < 2; ++i) {
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  }
  ::setenv("XDG_CONFIG_HOME", (fs::path(folder_) / "config").c_str(), 1);

  const struct {
    const char* what;
    fs::path first, second;
  } rows[] = {{"world-writable", open, open},
              {"a link", link, link},
              {"usable by the first copy only", good, open},
              {"usable by the second copy only", open, good}};
  for (const auto& row : rows) {
    ::setenv("XDG_RUNTIME_DIR", row.first.c_str(), 1);
    PosixInstanceGuard first;
    ASSERT_TRUE(first.Claim()) << row.what;
    EXPECT_TRUE(first.Held()) << row.what;
    ::setenv("XDG_RUNTIME_DIR", row.second.c_str(), 1);
    PosixInstanceGuard second;
    EXPECT_FALSE(second.Claim()) << row.what;
    EXPECT_FALSE(second.Held()) << row.what;
  }
  EXPECT_FALSE(fs::exists(open / "horalign.lock"));

  // With no private folder at all the program starts unguarded rather than not at all.
  ASSERT_EQ(::chmod((fs::path(folder_) / "config" / "Quorvane").c_str(), 0777), 0);
  ::setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
  PosixInstanceGuard unguarded;
  EXPECT_TRUE(unguarded.Claim());
  EXPECT_FALSE(unguarded.Usable());
  EXPECT_FALSE(unguarded.Held());
  for (int i = 0; i < 2; ++i) {
    saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);
  }
}

TEST_F(InstanceLock, AMissingFolderIsCreatedPrivate) {
  const fs::path fresh = fs::path(folder_) / "runtime";
  PosixInstanceGuard guard(fresh.string());
  ASSERT_TRUE(guard.Claim());
  EXPECT_TRUE(guard.Held());
  struct stat info {};
  ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace horalign
