// Root working on the settings in a folder of another user (the service's, with
// horalign-cli --system): whatever that user plants where the settings file, its lock or its
// temporary file go, root neither writes, moves nor gives away the file it leads to.
#include <unistd.h>

#include "core/settings/registry.h"
#include "platform/posix/reg_file_store.h"
#include "platform/posix/safe_file.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;

constexpr uid_t kService = 65534;
const std::string kShadowText = "root:$6$stand-in:19000:0:99999:7:::\n";
const std::string kSettings =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n"
    "\"Update Interval\"=\"75\"\n";

enum class Plant { kNothing, kSymlink, kHardLink };

struct FileSeen {
  ino_t inode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  std::string text;
  friend bool operator==(const FileSeen&, const FileSeen&) = default;
  friend void PrintTo(const FileSeen& f, std::ostream* out) {
    *out << "inode " << f.inode << ", " << f.owner << ":" << f.group << ", mode " << std::oct
         << f.mode << std::dec << ", \"" << f.text << "\"";
  }
};

FileSeen Look(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return {};
  return {info.st_ino, info.st_uid, info.st_gid, info.st_mode, ReadFile(path)};
}

// A folder of the service's user holding its settings file, and beside it (root's) a
// stand-in for /etc/shadow.
struct ForeignFolder : ::testing::Test {
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can act for another user";
  }
  // The folder afresh, with `name` in it planted as a link to the stand-in.
  void Reset(const std::string& name, Plant plant) {
    fs::remove_all(folder);
    fs::create_directory(folder);
    WriteFile(shadow, kShadowText);
    ASSERT_EQ(::chmod(shadow.c_str(), 0640) | ::chown(shadow.c_str(), 0, 42), 0);
    WriteFile(settings, kSettings);
    ASSERT_EQ(::chmod(settings.c_str(), 0600), 0);
    const std::string planted = folder + "/" + name;
    if (plant != Plant::kNothing) fs::remove(planted);
    if (plant == Plant::kSymlink) fs::create_symlink(shadow, planted);
    if (plant == Plant::kHardLink) fs::create_hard_link(shadow, planted);
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (Look(entry.path()).inode != Look(shadow).inode) {  // a hard link is the stand-in
        ASSERT_EQ(::lchown(entry.path().c_str(), kService, kService), 0);
      }
    }
    ASSERT_EQ(::chown(folder.c_str(), kService, kService), 0);
    before = Look(shadow);
  }

  TempDir dir;
  std::string folder = dir.path + "/state", shadow = dir.path + "/shadow";
  std::string settings = folder + "/Horalign.reg";
  FileSeen before;
};

struct PlantRow {
  const char* name;
  Plant plant;
  const char* told;  // what the refusal says after the planted path; "" when none is due
};

// A crash leaves no link and no second name; what has one was planted, and is refused.
constexpr PlantRow kPlants[] = {
    {"Horalign.reg", Plant::kSymlink, " is a symbolic link"},
    {"Horalign.reg.lock", Plant::kSymlink, " is a symbolic link"},
    {"Horalign.reg.tmp", Plant::kSymlink, " is a symbolic link"},
    {"Horalign.reg.lock", Plant::kHardLink, " has other names"},
    {"Horalign.reg.tmp", Plant::kHardLink, " has other names"},
    // Read as an unreadable settings file and renamed aside: the stand-in keeps its name.
    {"Horalign.reg", Plant::kHardLink, ""},
};

TEST_F(ForeignFolder, RootsSettingsStoreWritesNoFileThatAPlantedLinkLeadsTo) {
  for (const auto& [name, plant, told] : kPlants) {
    SCOPED_TRACE(std::string(name) + (plant == Plant::kSymlink ? " symlink" : " hard link"));
    Reset(name, plant);
    testing::internal::CaptureStderr();
    const bool saved = RegFileStore(settings).SetString(kConfigKey, kValueUpdateInterval, "90");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Look(shadow), before);
    EXPECT_EQ(saved, *told == '\0');
    EXPECT_NE(said.find(folder + "/" + name + told), std::string::npos) << said;
  }
}

TEST_F(ForeignFolder, OnlyAFileRootCreatedThereIsGivenToTheFolderOwner) {
  const std::pair<Plant, const char*> rows[] = {{Plant::kNothing, ""},
                                                {Plant::kSymlink, " is a symbolic link"},
                                                {Plant::kHardLink, " has other names"}};
  for (const auto& [plant, told] : rows) {
    Reset("Horalign.reg", plant);
    ASSERT_TRUE(plant != Plant::kNothing || ::chown(settings.c_str(), 0, 0) == 0);
    const std::string said = GiveToFolderOwner(settings);
    EXPECT_EQ(Look(shadow), before) << said;
    // Refused with its reason, or given to the folder's owner without a word.
    EXPECT_TRUE(*told != '\0' ? said.find(settings + told) != said.npos
                              : said.empty() && Look(settings).owner == kService)
        << said << ", owner " << Look(settings).owner;
  }
  // One of a third user's files moved in is not the folder owner's to have.
  Reset("Horalign.reg", Plant::kNothing);
  ASSERT_EQ(::chown(settings.c_str(), 4242, 4242), 0);
  EXPECT_NE(GiveToFolderOwner(settings).find(settings + " belongs to another user"),
            std::string::npos);
  EXPECT_EQ(Look(settings).owner, 4242u);
}

#ifdef HORALIGN_CLI_PATH
// The command's output and exit code. With no service to hand the change to, the command
// writes the file itself.
std::pair<std::string, int> RunCli(const std::vector<std::string>& args) {
  ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
  std::vector<std::string> argv{HORALIGN_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  Child cli(argv);
  std::string out;
  while (const auto line = cli.ReadLine(10'000)) out += *line + "\n";
  const int status = cli.Stop(0);  // no signal: waits for its end
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(ForeignFolder, TheCommandLineAsRootGivesAwayNoFileThatAPlantedLinkLeadsTo) {
  Reset("", Plant::kNothing);
  const auto [out, code] = RunCli({"--config", settings, "config", "interval", "90"});
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(Look(settings).owner + Look(settings + ".lock").owner, 2 * kService)
      << "what root wrote is the service's";
  for (const auto& [name, plant, told] : kPlants) {
    SCOPED_TRACE(std::string(name) + (plant == Plant::kSymlink ? " symlink" : " hard link"));
    Reset(name, plant);
    const auto [said, exitCode] = RunCli({"--config", settings, "config", "interval", "90"});
    EXPECT_EQ(Look(shadow), before) << said;
    EXPECT_TRUE(*told == '\0' || exitCode == 4) << said;
  }
}
#endif

}  // namespace
}  // namespace horalign
