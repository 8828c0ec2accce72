#pragma once

// What the adapter tests share: a temporary folder, files read and written whole, an
// environment variable set for one scope, a child program whose output is read by line,
// and a message bus of the test's own.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace horalign::rig {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempDir {
  TempDir() : path(::testing::TempDir() + "horalign-XXXXXX") {
    if (::mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

inline std::string ReadFile(const std::string& path) {
  std::stringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sets (with nullopt unsets) a variable and puts back what was there; TZ is read again.
struct ScopedEnv {
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) {
    if (const char* old = std::getenv(name)) previous = old;
    Set(value);
  }
  ~ScopedEnv() { Set(previous); }
  void Set(const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    ::tzset();
  }
  const char* name;
  std::optional<std::string> previous;
};

// A program run with its standard output on a pipe; it ends with this object, or with the
// test program should that die first.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(fds[1], STDOUT_FILENO);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) Stop(SIGKILL);
    ::close(out_);
  }

  // The next line it printed, without the newline; nothing when none came within `waitMs`.
  std::optional<std::string> ReadLine(int waitMs) {
    std::string line;
    for (char c = 0;; line += c) {
      pollfd ready{out_, POLLIN, 0};
      if (::poll(&ready, 1, waitMs) != 1 || ::read(out_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
    }
  }

  void Signal(int signal) { ::kill(pid_, signal); }

  // Sends the signal and gives the wait status; -1 once it has ended.
  int Stop(int signal) {
    int status = -1;
    if (pid_ <= 0) return status;  // kill(-1) would reach every process
    ::kill(pid_, signal);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// A message bus of the test's own, so that nothing reaches the system's services.
struct PrivateBus {
  PrivateBus()
      : daemon((WriteFile(dir.path + "/bus.conf",
                          "<busconfig><type>session</type><listen>unix:dir=" + dir.path +
                              "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                              "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                              "<allow own=\"*\"/></policy></busconfig>\n"),
                std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=1",
                                         "--config-file=" + dir.path + "/bus.conf"})),
        // Never let a failed start leave a test on the real system bus.
        address(daemon.ReadLine(5000).value_or("unix:path=/nonexistent")) {}
  TempDir dir;
  Child daemon;
  std::string address;
};

}  // namespace horalign::rig
