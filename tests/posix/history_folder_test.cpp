#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/history/history_log.h"
#include "platform/posix/posix_log_folder.h"
#include "tests/posix/posix_rig.h"

namespace horalign::test {
namespace {

using rig::TempDir;

HistoryEntry Write(std::int64_t utcMs) {
  HistoryEntry e;
  e.utcMs = utcMs;
  e.port = 1;
  e.status = "Device updated successfully.";
  e.ok = true;
  return e;
}

// On a real file system: the folder is made at the first line, files rotate by renaming and
// read back oldest first, and the files are private to the user.
TEST(PosixHistory, RotatesInARealFolderAndKeepsItPrivate) {
  TempDir tmp;
  PosixLogFolder folder(tmp.path + "/state/Quorvane");
  HistoryLog log(folder, nullptr, 320);
  for (int n = 0; n < 7; ++n) log.Append(Write(n));  // 157 bytes each: two to a file
  EXPECT_EQ(folder.Size("history.jsonl"), 157);
  const HistoryRead read = ReadHistory(folder);
  ASSERT_EQ(read.entries.size(), 5u);
  EXPECT_EQ(read.entries.front().utcMs, 2);
  EXPECT_EQ(folder.Read("history.jsonl.2", 4), ".\"}\n");  // the end of a file, for a cut line
  struct stat dir {};
  struct stat file {};
  ASSERT_EQ(stat(folder.Where().c_str(), &dir), 0);
  ASSERT_EQ(stat((folder.Where() + "/history.jsonl.1").c_str(), &file), 0);
  EXPECT_EQ(std::pair(dir.st_mode & 0777, file.st_mode & 0777), std::pair(0700u, 0600u));
}

// A folder that cannot be made and a full disk: each is told once, and nothing stops.
TEST(PosixHistory, AnUnwritableFolderOrAFullDiskIsToldOnce) {
  TempDir tmp;
  rig::WriteFile(tmp.path + "/Quorvane", "a file where the folder should be");
  const std::string full = tmp.path + "/full";
  ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
  ASSERT_EQ(symlink("/dev/full", (full + "/history.jsonl").c_str()), 0);
  for (const auto& [dir, reason] : {std::pair{tmp.path + "/Quorvane", "cannot create the folder"},
                                    std::pair{full, "No space left on device"}}) {
    PosixLogFolder folder(dir);
    std::vector<std::string> told;
    HistoryLog log(folder, [&](const std::string& m) { told.push_back(m); });
    for (int n = 0; n < 3; ++n) log.Append(Write(n));
    ASSERT_EQ(told.size(), 1u) << dir;
    EXPECT_NE(told[0].find(reason), std::string::npos) << told[0];
    EXPECT_NE(told[0].find(dir), std::string::npos) << told[0];
  }
}

}  // namespace
}  // namespace horalign::test
