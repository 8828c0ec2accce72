#include "platform/posix/reg_file_store.h"

#include <cerrno>

#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "tests/core/settings/registry_rules.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;

// Fails writes as a full disk would when asked to and counts the reads; otherwise does the
// real work, but reads as an ordinary user would: root reads a file whatever its mode.
struct FaultyOps : RegFileOps {
  ReadResult ReadAll(const std::string& path, std::size_t limit, std::string& out) override {
    ++reads;
    if (fs::status(path).permissions() == fs::perms::none) return ReadResult::kFailed;
    return RegFileOps::ReadAll(path, limit, out);
  }
  bool WriteSynced(const std::string& path, std::string_view bytes,
                   const std::optional<RegFileInfo>& like) override {
    if (!diskFull) return RegFileOps::WriteSynced(path, bytes, like);
    RegFileOps::WriteSynced(path, bytes.substr(0, bytes.size() / 2), like);
    return errno = ENOSPC, false;
  }
  bool diskFull = false;
  int reads = 0;
};

struct SettingsFile : ::testing::Test {
  void Reset(const std::string& text) {  // the folder afresh with `text` as the file
    fs::remove_all(dir.path);
    fs::create_directory(dir.path);
    WriteFile(path, text);
  }
  std::string Get(const char* name) { return QueryRegValue(store, kConfigKey, name); }
  bool Set(const char* name, const char* text) { return store.SetString(kConfigKey, name, text); }

  TempDir dir;
  std::string path = dir.path + "/Horalign.reg";
  std::shared_ptr<FaultyOps> ops = std::make_shared<FaultyOps>();
  RegFileStore store{path, ops};
};

const std::string kSection = "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n";
const std::string kOldFile = "REGEDIT4\n\n" + kSection + "\"Update Interval\"=\"75\"\n";

TEST_F(SettingsFile, AFailedWriteLeavesTheOldFileWholeAndTheNextGetsPastWhatItLeft) {
  Reset(kOldFile);
  ops->diskFull = true;
  EXPECT_FALSE(Set(kValueSignalSource, "2"));
  EXPECT_EQ(ReadFile(path), kOldFile);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  // What a crash before the rename leaves: a temp file, and the lock file of a dead writer.
  ops->diskFull = false;
  WriteFile(path + ".tmp", "REGEDIT4\n\n[HKEY");
  ASSERT_TRUE(Set(kValueSignalSource, "2"));
  EXPECT_EQ(Get(kValueUpdateInterval) + Get(kValueSignalSource), "752");
  ASSERT_TRUE(RegFileStore(dir.path + "/a/b/Horalign.reg").SetString(kConfigKey, "A", "2"));
  EXPECT_EQ(fs::status(dir.path + "/a").permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(SettingsFile, AFileThatCannotBeReadIsKeptAsideAndAFreshOneWrittenOnTheNextSave) {
  // Text that is not a settings file (as the document tells it), one that is not a file, one
  // that cannot be read, and one too large.
  const std::pair<std::string, fs::perms> rows[] = {
      {kSection + "\"Update Interval\"=\"75\"\n", fs::perms::owner_all},  // no header
      {"", fs::perms::owner_all},  // a directory in the file's place
      {kOldFile, fs::perms::none},
      {kOldFile + std::string(RegDocument::kMaxBytes, '\n'), fs::perms::owner_all}};
  for (const auto& [content, perms] : rows) {
    SCOPED_TRACE(content.substr(0, 20) + " " + std::to_string(content.size()));
    Reset(content);
    if (content.empty()) fs::remove(path) && fs::create_directory(path);
    fs::permissions(path, perms);
    testing::internal::CaptureStderr();
    AppConfig config;
    LoadConfig(store, config);
    EXPECT_EQ(config.UpdateInterval, 60);
    EXPECT_TRUE(Set(kValueSignalSource, "2"));
    const std::string told = testing::internal::GetCapturedStderr(), aside = path + ".unreadable-1";
    EXPECT_TRUE(told.find(path + " is ") != told.npos && told.find("kept as " + aside) != told.npos)
        << told;
    EXPECT_TRUE(content.empty() ? fs::is_directory(aside) : ReadFile(aside) == content);
    ASSERT_TRUE(Set(kValueLastX, "9"));
    EXPECT_EQ(Get(kValueSignalSource) + Get(kValueLastX), "29");
    EXPECT_FALSE(fs::exists(path + ".unreadable-2"));
  }
}

// Each change alters one of size, modification time and inode, the others kept.
TEST_F(SettingsFile, TheFileIsReadOncePerChangeOfItsSizeTimeOrInode) {
  const std::string other = kOldFile.substr(0, kOldFile.size() - 4) + "76\"\n";
  // The new text, and whether it comes as a new file renamed over the old one.
  const std::pair<std::string, bool> changes[] = {
      {other, false}, {kOldFile, true}, {kOldFile + "\n", false}};
  WriteFile(path, kOldFile);
  const auto time = fs::last_write_time(path);
  EXPECT_EQ(Get(kValueUpdateInterval) + Get(kValueLastX), "75");
  for (int i = 0; i < 3; ++i) {
    const auto& [text, replace] = changes[i];
    const std::string written = replace ? dir.path + "/next" : path;
    WriteFile(written, text);
    fs::last_write_time(written, time + std::chrono::seconds(1));
    if (replace) fs::rename(written, path);
    EXPECT_EQ(Get(kValueUpdateInterval) + Get(kValueLastX), text == other ? "76" : "75");
    EXPECT_EQ(ops->reads, i + 2);
  }
}

TEST_F(SettingsFile, ALinkedFileIsWrittenThroughToItsTargetKeepingItsMode) {
  // Horalign.reg -> shared/link.reg -> <dir>/shared/real/Horalign.reg
  fs::create_directories(dir.path + "/shared/real");
  const std::string target = dir.path + "/shared/real/Horalign.reg";
  WriteFile(target, kOldFile);
  fs::permissions(target, static_cast<fs::perms>(0644));
  fs::create_symlink(target, dir.path + "/shared/link.reg");
  fs::create_symlink("shared/link.reg", path);
  ASSERT_TRUE(Set(kValueSignalSource, "2"));
  EXPECT_TRUE(fs::is_symlink(path) && fs::is_symlink(dir.path + "/shared/link.reg"));
  EXPECT_NE(ReadFile(target).find("\"Signal Source\"=\"2\""), std::string::npos);
  EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(Get(kValueUpdateInterval), "75");
}

// Two threads of this process and a second process, each with a store of its own.
TEST_F(SettingsFile, WritersInOneProcessAndInTwoLoseNothing) {
  const auto writeMany = [this](const std::string& prefix) {
    RegFileStore own(path);
    int failures = 0;
    for (int i = 0; i < 15; ++i)
      failures += !own.SetString(kPortsKey, prefix + std::to_string(i), "x");
    return failures;
  };
  const pid_t child = fork();
  if (child == 0) _exit(writeMany("C"));
  int failures = 0;
  std::thread a([&] { failures += writeMany("A"); });
  const int inB = writeMany("B");
  a.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(failures + inB + status, 0);
  for (const std::string prefix : {"A", "B", "C"}) {
    for (int i = 0; i < 15; ++i)
      EXPECT_EQ(QueryRegValue(store, kPortsKey, prefix + std::to_string(i)), "x") << prefix << i;
  }
}

TEST(SettingsFilePath, FollowsAnAbsoluteXdgConfigHomeOrFallsBackToDotConfig) {
  ScopedEnv home("HOME", "/home/q");
  for (const auto& xdg : std::vector<std::optional<std::string>>{"/xdg", "relative/dir", {}}) {
    ScopedEnv config("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(RegFileStore().Path(),
              (xdg == "/xdg" ? "/xdg" : "/home/q/.config") + std::string("/Quorvane/Horalign.reg"));
  }
}

}  // namespace

namespace regtest {
namespace {

// Puts values through the file's own text, so that every type is read back from it.
struct FileHarness {
  RegistryStore& Store() { return store; }
  void Put(const std::string& key, const std::string& name, const RegValue& value) {
    ASSERT_TRUE(store.SetValue(key, name, value));
  }
  bool KeyExists(const std::string& key) {
    return RegDocument::Parse(rig::ReadFile(store.Path()))->HasKey(key);
  }
  rig::TempDir dir;
  RegFileStore store{dir.path + "/Quorvane/Horalign.reg"};
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(File, RegistryRules, FileHarness);

}  // namespace regtest
}  // namespace horalign
