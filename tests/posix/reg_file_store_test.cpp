#include "platform/posix/reg_file_store.h"

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
  bool unreadable = false;
  bool diskFull = false;
  bool crashAtRename = false;

  ReadResult ReadAll(const std::string& path, std::size_t limit, std::string& out) override {
    return unreadable ? ReadResult::kFailed : RegFileOps::ReadAll(path, limit, out);
  }
  bool WriteSynced(const std::string& path, std::string_view bytes) override {
    if (!diskFull) return RegFileOps::WriteSynced(path, bytes);
    RegFileOps::WriteSynced(path, bytes.substr(0, bytes.size() / 2));
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

TEST_F(RegFileStoreTest, AFileThatCannotBeReadGivesDefaultsAndIsNeverReplaced) {
  const std::string withValue = "\"Update Interval\"=\"75\"\n";
  const struct {
    const char* what;
    std::string content;  // empty: a directory in the file's place
    bool unreadable;
  } rows[] = {
      {"binary junk",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0",
                   9) +
           withValue,
       false},
      {"no header", "[HKEY_LOCAL_MACHINE\\" + std::string(kConfigKey) + "]\n" + withValue, false},
      {"a directory", "", false},
      {"unreadable", kOldFile, true},
  };
  for (const auto& row : rows) {
    fs::remove_all(path_);
    if (row.content.empty()) {
      fs::create_directory(path_);
    } else {
      WriteFile(path_, row.content);
    }
    ops_->unreadable = row.unreadable;
    AppConfig config;
    LoadConfig(store_, config);
    EXPECT_EQ(config.UpdateInterval, 60) << row.what;
    EXPECT_FALSE(store_.SetString(kConfigKey, kValueSignalSource, "2")) << row.what;
    if (row.content.empty()) {
      EXPECT_TRUE(fs::is_directory(path_)) << row.what;
    } else {
      EXPECT_EQ(ReadFile(path_), row.content) << row.what;
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
