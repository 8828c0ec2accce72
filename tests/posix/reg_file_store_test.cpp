#include "platform/posix/reg_file_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "core/app/app_config.h"
#include "core/app/registry.h"
#include "tests/core/app/registry_rules.h"

namespace horalign {
namespace {

namespace fs = std::filesystem;

std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "horalign-reg-XXXXXX";
  const char* dir = mkdtemp(pattern.data());
  EXPECT_NE(dir, nullptr);
  return pattern;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Fails the file operations a test asks for; otherwise does the real work.
class FaultyOps : public RegFileOps {
 public:
  bool diskFull = false;
  bool crashAtRename = false;
  int reads = 0;

  // Reads as an ordinary user would: root reads a file whatever its mode.
  ReadResult ReadAll(const std::string& path, std::size_t limit, std::string& out) override {
    ++reads;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IRUSR) == 0) return ReadResult::kFailed;
    return RegFileOps::ReadAll(path, limit, out);
  }
  bool WriteSynced(const std::string& path, std::string_view bytes,
                   const std::optional<RegFileInfo>& like) override {
    if (!diskFull) return RegFileOps::WriteSynced(path, bytes, like);
    RegFileOps::WriteSynced(path, bytes.substr(0, bytes.size() / 2), like);
    errno = ENOSPC;
    return false;
  }
  bool Rename(const std::string& from, const std::string& to) override {
    if (crashAtRename) _exit(0);  // the process dies with the temp file written
    return RegFileOps::Rename(from, to);
  }
};

class RegFileStoreTest : public ::testing::Test {
 protected:
  ~RegFileStoreTest() override { fs::remove_all(dir_); }

  std::string dir_ = MakeTempDir();
  std::string path_ = dir_ + "/Horalign.reg";
  std::shared_ptr<FaultyOps> ops_ = std::make_shared<FaultyOps>();
  RegFileStore store_{path_, ops_};
};

const std::string kOldFile =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n"
    "\"Update Interval\"=\"75\"\n";

TEST_F(RegFileStoreTest, EscapedNamesAndTextsRoundTripThroughTheFile) {
  ASSERT_TRUE(store_.SetString(kConfigKey, "Na\"me\\", "C:\\dir\\\"q\""));
  EXPECT_NE(ReadFile(path_).find(R"("Na\"me\\"="C:\\dir\\\"q\"")"), std::string::npos);
  RegFileStore other(path_);
  EXPECT_EQ(QueryRegValue(other, kConfigKey, "na\"ME\\"), "C:\\dir\\\"q\"");
}

TEST_F(RegFileStoreTest, LinesAndSectionsItDoesNotKnowSurviveAWrite) {
  const std::string before =
      "REGEDIT4\n; written by hand\n\n[HKEY_CURRENT_USER\\Elsewhere]\n\"X\"=\"1\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n"
      "this is not a value\n\"Update Interval\"=\"75\"\n\"Odd\"=hex(2):41,00\n";
  WriteFile(path_, before);
  ASSERT_TRUE(store_.SetString(kConfigKey, kValueUpdateInterval, "90"));
  std::string expected = before;
  expected.replace(expected.find("\"75\""), 4, "\"90\"");
  EXPECT_EQ(ReadFile(path_), expected);
}

TEST_F(RegFileStoreTest, AChangeByAnotherProgramIsSeenAtOnce) {
  WriteFile(path_, kOldFile);
  EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueUpdateInterval), "75");
  WriteFile(path_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(kConfigKey) +
                       "]\n\"Update Interval\"=dword:00000078\n");
  EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueUpdateInterval), "120");
}

TEST_F(RegFileStoreTest, ThePortsSectionMapsComNumbersToDevicePaths) {
  WriteFile(path_,
            "REGEDIT4\n\n[hkey_local_machine\\software\\quorvane\\horalign\\PORTS]\n"
            "\"COM3\"=\"/dev/ttyUSB0\"\n\"COM4\"=\"/dev/serial/by-id/usb-X_Y-if00\"\n");
  EXPECT_EQ(QueryRegValue(store_, kPortsKey, "com3"), "/dev/ttyUSB0");
  EXPECT_EQ(QueryRegValue(store_, kPortsKey, "COM4"), "/dev/serial/by-id/usb-X_Y-if00");
  EXPECT_EQ(QueryRegValue(store_, kPortsKey, "COM5"), "");
}

TEST_F(RegFileStoreTest, ACrashBeforeTheRenameLeavesTheOldFile) {
  WriteFile(path_, kOldFile);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ops_->crashAtRename = true;
    store_.SetString(kConfigKey, kValueUpdateInterval, "90");
    _exit(1);  // not reached when the crash happens
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(path_), kOldFile);
  EXPECT_NE(ReadFile(path_ + ".tmp").find("\"90\""), std::string::npos);

  // The next write gets past the stale temp file and the lock the dead process held.
  ASSERT_TRUE(store_.SetString(kConfigKey, kValueSignalSource, "2"));
  EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueUpdateInterval), "75");
  EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueSignalSource), "2");
}

TEST_F(RegFileStoreTest, AFailedWriteLeavesTheOldFileWhole) {
  WriteFile(path_, kOldFile);
  ops_->diskFull = true;
  EXPECT_FALSE(store_.SetString(kConfigKey, kValueSignalSource, "2"));
  EXPECT_EQ(ReadFile(path_), kOldFile);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));

  RegFileStore blocked(dir_ + "/file/Horalign.reg");  // a file where the folder should be
  WriteFile(dir_ + "/file", "x");
  EXPECT_FALSE(blocked.SetString(kConfigKey, kValueSignalSource, "2"));
  EXPECT_EQ(ReadFile(dir_ + "/file"), "x");
}

TEST_F(RegFileStoreTest, AFileThatCannotBeReadIsKeptAsideAndAFreshOneWrittenOnTheNextSave) {
  const std::string withValue = "\"Update Interval\"=\"75\"\n";
  const struct {
    const char* what;
    std::string content;  // empty: a directory in the file's place
    mode_t mode;
  } rows[] = {
      {"binary junk",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0",
                   9) +
           withValue,
       0600},
      {"no header", "[HKEY_LOCAL_MACHINE\\" + std::string(kConfigKey) + "]\n" + withValue, 0600},
      {"a directory", "", 0700},
      {"unreadable", kOldFile, 0},
      {"over 1 MiB", kOldFile + std::string(RegDocument::kMaxBytes, '\n'), 0600},
  };
  for (const auto& row : rows) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    if (row.content.empty()) {
      fs::create_directory(path_);
    } else {
      WriteFile(path_, row.content);
    }
    chmod(path_.c_str(), row.mode);
    testing::internal::CaptureStderr();
    AppConfig config;
    LoadConfig(store_, config);
    EXPECT_EQ(config.UpdateInterval, 60) << row.what;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(path_), std::string::npos) << row.what;

    const std::string aside = path_ + ".unreadable-1";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(store_.SetString(kConfigKey, kValueSignalSource, "2")) << row.what;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(aside), std::string::npos) << row.what;
    if (row.content.empty()) {
      EXPECT_TRUE(fs::is_directory(aside)) << row.what;
    } else {
      EXPECT_EQ(ReadFile(aside), row.content) << row.what;
    }
    ASSERT_TRUE(store_.SetString(kConfigKey, kValueLastX, "9"));
    EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueSignalSource), "2") << row.what;
    EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueLastX), "9") << row.what;
    EXPECT_FALSE(fs::exists(path_ + ".unreadable-2")) << row.what;
  }
}

// Each change alters one of size, modification time and inode, the others kept.
TEST_F(RegFileStoreTest, TheFileIsReadOncePerChangeOfItsSizeTimeOrInode) {
  WriteFile(path_, kOldFile);
  const auto load = [&] {
    AppConfig config;
    LoadConfig(store_, config);
    return ReadWindowEdge(store_, kValueLastX, kDefaultLastX) == 400 ? config.UpdateInterval : -1;
  };
  const auto setTimes = [](const std::string& path, const struct stat& from, int laterSeconds) {
    const timespec times[2] = {from.st_atim,
                               {from.st_mtim.tv_sec + laterSeconds, from.st_mtim.tv_nsec}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  const std::string other = kOldFile.substr(0, kOldFile.size() - 4) + "76\"\n";
  const struct {
    const char* what;
    std::string text;
    bool replace;  // by a new file renamed over it
    int laterSeconds;
  } changes[] = {
      {"time", other, false, 1}, {"inode", kOldFile, true, 0}, {"size", kOldFile + "\n", false, 0}};

  EXPECT_EQ(load(), 75);
  EXPECT_EQ(ops_->reads, 1);
  int expectedReads = 1;
  for (const auto& row : changes) {
    struct stat before {};
    stat(path_.c_str(), &before);
    const std::string written = row.replace ? dir_ + "/next" : path_;
    WriteFile(written, row.text);
    setTimes(written, before, row.laterSeconds);
    if (row.replace) fs::rename(written, path_);
    EXPECT_EQ(load(), row.text == other ? 76 : 75) << row.what;
    EXPECT_EQ(ops_->reads, ++expectedReads) << row.what;
  }
}

TEST_F(RegFileStoreTest, ALinkedFileIsWrittenThroughToItsTargetKeepingItsMode) {
  // Horalign.reg -> shared/link.reg -> <dir>/shared/real/Horalign.reg
  fs::create_directories(dir_ + "/shared/real");
  const std::string target = dir_ + "/shared/real/Horalign.reg";
  WriteFile(target, kOldFile);
  chmod(target.c_str(), 0644);
  fs::create_symlink(target, dir_ + "/shared/link.reg");
  fs::create_symlink("shared/link.reg", path_);

  ASSERT_TRUE(store_.SetString(kConfigKey, kValueSignalSource, "2"));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_TRUE(fs::is_symlink(dir_ + "/shared/link.reg"));
  EXPECT_NE(ReadFile(target).find("\"Signal Source\"=\"2\""), std::string::npos);
  EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueUpdateInterval), "75");
  for (const std::string& folder : {dir_, dir_ + "/shared", dir_ + "/shared/real"}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
    }
  }
}

TEST_F(RegFileStoreTest, MissingFoldersAreCreatedForTheOwnerOnly) {
  RegFileStore nested(dir_ + "/a/b/Horalign.reg");
  ASSERT_TRUE(nested.SetString(kConfigKey, kValueSignalSource, "2"));
  struct stat info {};
  ASSERT_EQ(stat((dir_ + "/a").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(QueryRegValue(nested, kConfigKey, kValueSignalSource), "2");
}

// Each writer stores `count` values of its own under `key`.
void WriteMany(const std::string& path, const char* key, const std::string& prefix, int count,
               int& failures) {
  RegFileStore store(path);
  for (int i = 0; i < count; ++i) {
    if (!store.SetString(key, prefix + std::to_string(i), std::to_string(i))) ++failures;
  }
}

int CountPresent(const std::string& path, const char* key, const std::string& prefix, int count) {
  RegFileStore store(path);
  int present = 0;
  for (int i = 0; i < count; ++i) {
    present += QueryRegValue(store, key, prefix + std::to_string(i)) == std::to_string(i);
  }
  return present;
}

TEST_F(RegFileStoreTest, TwoWritersInOneProcessLoseNothing) {
  constexpr int kCount = 25;
  int failuresA = 0;
  int failuresB = 0;
  std::thread a([&] { WriteMany(path_, kConfigKey, "A", kCount, failuresA); });
  std::thread b([&] { WriteMany(path_, kPortsKey, "COM", kCount, failuresB); });
  a.join();
  b.join();
  EXPECT_EQ(failuresA + failuresB, 0);
  EXPECT_EQ(CountPresent(path_, kConfigKey, "A", kCount), kCount);
  EXPECT_EQ(CountPresent(path_, kPortsKey, "COM", kCount), kCount);
}

TEST_F(RegFileStoreTest, TwoWritingProcessesLoseNothing) {
  constexpr int kCount = 25;
  pid_t children[2];
  for (int n = 0; n < 2; ++n) {
    children[n] = fork();
    ASSERT_GE(children[n], 0);
    if (children[n] == 0) {
      int failures = 0;
      WriteMany(path_, kConfigKey, n == 0 ? "A" : "B", kCount, failures);
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(CountPresent(path_, kConfigKey, "A", kCount), kCount);
  EXPECT_EQ(CountPresent(path_, kConfigKey, "B", kCount), kCount);
}

TEST(RegFileStorePath, FollowsXdgConfigHomeOrFallsBackToDotConfig) {
  std::optional<std::string> saved[2];
  const char* names[2] = {"XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 2; ++i) {
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  }
  setenv("HOME", "/home/q", 1);
  setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(RegFileStore().Path(), "/xdg/conf/Quorvane/Horalign.reg");
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // the base directory rules ignore it
  EXPECT_EQ(RegFileStore::DefaultPath(), "/home/q/.config/Quorvane/Horalign.reg");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegFileStore::DefaultPath(), "/home/q/.config/Quorvane/Horalign.reg");
  for (int i = 0; i < 2; ++i) {
    saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
  }
}

}  // namespace

namespace regtest {
namespace {

// Puts values through the file's own text, so that every type is read back from it.
class FileHarness {
 public:
  ~FileHarness() { fs::remove_all(dir_); }
  RegistryStore& Store() { return store_; }
  void Put(const std::string& key, const std::string& name, const RegValue& value) {
    ASSERT_TRUE(store_.SetValue(key, name, value));
  }
  bool KeyExists(const std::string& key) {
    const auto doc = RegDocument::Parse(ReadFile(store_.Path()));
    return doc && doc->HasKey(key);
  }

 private:
  std::string dir_ = MakeTempDir();
  RegFileStore store_{dir_ + "/Quorvane/Horalign.reg"};
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(File, RegistryRules, FileHarness);

}  // namespace regtest
}  // namespace horalign
