#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/app/app_config.h"
#include "core/app/application.h"
#include "core/app/registry.h"
#include "platform/posix/reg_file_store.h"
#include "sim/sim_app.h"

namespace horalign {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Makes writing the file fail as a full disk would (it cannot be staged for real).
class FaultyOps : public RegFileOps {
 public:
  bool diskFull = false;
  bool WriteSynced(const std::string& path, std::string_view bytes,
                   const std::optional<RegFileInfo>& like) override {
    if (!diskFull) return RegFileOps::WriteSynced(path, bytes, like);
    RegFileOps::WriteSynced(path, bytes.substr(0, bytes.size() / 3), like);
    errno = ENOSPC;
    return false;
  }
};

// The whole program on a settings file, with the simulated ports and fake windows.
struct ProgramOnFile {
  explicit ProgramOnFile(RegistryStore& store) : store(store) { world.AddEmptyPorts(1, 16); }
  sim::World world;
  RegistryStore& store;
  sim::FakeMainWindow view;
  sim::FakePointer pointer;
  sim::FakeLoading loading;
  sim::FakeMessageDialog dialog{world.loop};
  sim::FakeInstanceGuard instance;
  Application app{Platform{store, world.serial, world.clock, world.loop, instance, view, pointer,
                           dialog, loading}};
};

const std::string kSection = "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n";
const std::string kFullFile = "REGEDIT4\n\n" + kSection +
                              "\"Connection Mode\"=\"1\"\n"
                              "\"Serial COM Port\"=dword:00000003\n"
                              "\"Used COM Ports\"=\"0\"\n"
                              "\"Update Interval\"=\"75\"\n"
                              "\"LastX\"=\"1200\"\n";

std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "horalign-faults-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
  return pattern;
}

class FaultSettingsFile : public ::testing::Test {
 protected:
  ~FaultSettingsFile() override { fs::remove_all(dir_); }

  std::string dir_ = MakeTempDir();
  std::string path_ = dir_ + "/Horalign.reg";
  std::shared_ptr<FaultyOps> ops_ = std::make_shared<FaultyOps>();
  RegFileStore store_{path_, ops_};
};

// Cut anywhere, the file yields each value as stored or its default, never anything
// else; and a write keeps every value that could still be read.
TEST_F(FaultSettingsFile, ATruncatedFileGivesStoredValuesOrDefaultsAndAWriteLosesNone) {
  for (std::size_t cut = 0; cut <= kFullFile.size(); ++cut) {
    const std::string prefix = kFullFile.substr(0, cut);
    WriteBytes(path_, prefix);
    AppConfig config;
    LoadConfig(store_, config);
    EXPECT_TRUE(config.ConnectionMode == 1 || config.ConnectionMode == 0) << cut;
    EXPECT_TRUE(config.SerialComPort == 3 || config.SerialComPort == 0) << cut;
    EXPECT_TRUE(config.UpdateInterval == 75 || config.UpdateInterval == 60) << cut;
    const std::int32_t left = ReadWindowEdge(store_, kValueLastX, 400);
    EXPECT_TRUE(left == 1200 || left == 400) << cut;

    SaveRegSetting(store_, kConfigKey, kValueSignalSource, 1, "2");
    AppConfig after;
    LoadConfig(store_, after);
    EXPECT_EQ(after.ConnectionMode, config.ConnectionMode) << cut;
    EXPECT_EQ(after.SerialComPort, config.SerialComPort) << cut;
    EXPECT_EQ(after.UpdateInterval, config.UpdateInterval) << cut;
    EXPECT_EQ(ReadWindowEdge(store_, kValueLastX, 400), left) << cut;
    EXPECT_EQ(after.SignalSource, 2) << cut;
    if (!RegDocument::Parse(prefix)) {
      // Not a settings file: kept aside, never lost.
      EXPECT_EQ(ReadBytes(path_ + ".unreadable-1"), prefix) << cut;
      fs::remove(path_ + ".unreadable-1");
    }
  }
}

struct Fault {
  const char* what;
  std::string content;
  bool diskFull;
  std::int16_t mode, interval;  // what the program starts with
};

TEST_F(FaultSettingsFile,
       TheProgramStartsOnValuesItCanUseAndACommittedIntervalIsKeptOrRefusedWhole) {
  const Fault faults[] = {
      {"not a settings file",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0\xff\xfe",
                   13) +
           kFullFile,
       false, 0, 60},
      {"on a full disk", kFullFile, true, 1, 75},
      {"hostile values",
       "REGEDIT4\n\n" + kSection + "\"Connection Mode\"=\"1.5\"\n\"Update Interval\"=\"-5\"\n",
       false, 0, 60},
  };
  for (const Fault& f : faults) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    WriteBytes(path_, f.content);
    ops_->diskFull = f.diskFull;

    ProgramOnFile program(store_);
    ASSERT_TRUE(program.app.Start()) << f.what;
    EXPECT_EQ(program.app.Config().ConnectionMode, f.mode) << f.what;
    EXPECT_EQ(program.app.Config().UpdateInterval, f.interval) << f.what;
    EXPECT_EQ(program.view.intervalText, f.interval == 60 ? "0060" : "0075") << f.what;
    EXPECT_EQ(program.view.left, f.interval == 60 ? 400 : 1200) << f.what;

    // The user commits a new interval: the program goes on with it, and the file either
    // holds it or, refused, has not changed by one byte.
    program.view.intervalText = "90";
    program.app.MainForm()->OnIntervalLostFocus();
    EXPECT_EQ(program.app.Config().UpdateInterval, 90) << f.what;
    if (f.diskFull) {
      EXPECT_EQ(ReadBytes(path_), f.content) << f.what;
    } else {
      EXPECT_EQ(QueryRegValue(store_, kConfigKey, kValueUpdateInterval), "90") << f.what;
    }
    EXPECT_FALSE(fs::exists(path_ + ".tmp")) << f.what;
  }
}

}  // namespace
}  // namespace horalign
