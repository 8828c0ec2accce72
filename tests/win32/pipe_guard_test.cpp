// The pipe's guards on the real system calls (under Wine in scripts/test-windows.sh): the
// clients' refusal of a server that is not the service, and the server's bounds on clients.
// No service runs in the test prefix, so this process's servers are strangers to a client.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/service_connection.h"
#include "control/win32/pipe_server.h"
#include "control/win32/pipe_trust.h"
#include "control/win32/service_pipe_link.h"
#include "sim/virtual_loop.h"
#include "sim/virtual_time.h"

namespace horalign {
namespace {

const std::string kService = ServiceSidOf(kTrustedServiceName);
const std::string kOwnPid = std::to_string(::GetCurrentProcessId());

TEST(PipeTrust, NamesAServiceAsTheSystemDoes) {
  // The installer's service, as every Windows names it: the name is hashed in capitals.
  EXPECT_EQ(ServiceSidOf("TrustedInstaller"),
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
}

TEST(PipeTrust, TakesOnlyTheServiceOrTheSystemForTheServer) {
  const std::string user = "S-1-5-21-1-2-3-1001", localService = "S-1-5-19";
  const struct {
    const char* what;
    PipeServerFacts facts;
    bool accepted;
  } rows[] = {
      {"the service's process by the control manager's word", {7, false, "", {}, 7}, true},
      {"a token of the system", {7, true, kSystemSid, {}, 0}, true},
      {"LocalService with the service's SID",
       {7, true, localService, {"S-1-1-0", kService}, 0},
       true},
      {"a virtual account of the service", {7, true, kService, {}, 0}, true},
      {"another service of LocalService",
       {7, true, localService, {"S-1-5-80-1-2-3-4-5"}, 0},
       false},
      {"the user's own process", {7, true, user, {"S-1-5-32-544"}, 9}, false},
      {"a process whose token is closed", {7, false, "", {}, 9}, false},
      {"a server the system does not name", {0, false, "", {}, 0}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(WhyNotTheService(row.facts, kService).empty(), row.accepted) << row.what;
  }
  // A SID that could not be made is no one's, and an unreadable group does not match it.
  EXPECT_FALSE(WhyNotTheService({7, true, localService, {""}, 0}, "").empty());
  EXPECT_NE(WhyNotTheService({7, true, user, {}, 0}, kService).find(user), std::string::npos);
}

// A squatter: the pipe's name served by this process before any service.
HANDLE Squat() {
  return ::CreateNamedPipeA(PipeServer::kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

// What a squatter's instance got from its client, once the client has gone.
std::string Received(HANDLE instance) {
  std::string got;
  char buffer[512];
  for (DWORD n = 0; ::ReadFile(instance, buffer, sizeof buffer, &n, nullptr) && n > 0;) {
    got.append(buffer, n);
  }
  ::CloseHandle(instance);
  return got;
}

TEST(PipeTrust, ClientsSendNothingToAServerThatIsNotTheService) {
  const HANDLE forCli = Squat();
  ASSERT_NE(forCli, INVALID_HANDLE_VALUE);
  std::string why;
  // A refusal is the only way `why` gets its text; a taken stranger would get a request.
  std::unique_ptr<ServiceConnection> connection = ConnectToService(&why);
  if (connection) connection->Call(MakeRequest(RequestKind::kGetSettings));
  connection.reset();
  EXPECT_NE(why.find(", not as the Horalign service: nothing was sent"), std::string::npos) << why;
  EXPECT_EQ(Received(forCli), "");

  const HANDLE forTray = Squat();
  sim::VirtualTime time;
  sim::VirtualLoop loop(time);
  // Taken for the service, it would ask to watch.
  std::unique_ptr<ServicePipeLink> link = ServicePipeLink::Connect(loop);
  if (link) link->Watch({[](const ServiceRow&) {}, {}, {}});
  link.reset();
  EXPECT_EQ(Received(forTray), "");
}

// Runs the thread's messages, where the server hands over its clients' lines, until `done`.
bool PumpUntil(const std::function<bool()>& done, ULONGLONG ms = 5000) {
  for (const ULONGLONG end = ::GetTickCount64() + ms; !done();) {
    if (::GetTickCount64() > end) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    for (MSG msg; ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);) ::DispatchMessageA(&msg);
  }
  return true;
}

HANDLE OpenRaw() {
  ::WaitNamedPipeA(PipeServer::kPipeName, 2000);
  return ::CreateFileA(PipeServer::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

struct Server {
  explicit Server(std::function<void(PipeServer&, int, const std::string&)> onLine)
      : pipe({[this, onLine](int client, const std::string& line, bool) {
                onLine(pipe, client, line);
              },
              [](int) {}, [](int) {}}) {
    std::string error;
    EXPECT_TRUE(pipe.Claim(error)) << error;
    pipe.Listen();
  }
  PipeServer pipe;
};

TEST(PipeServer, TakesSixteenClientsAndLetsTheNextInWhenOneGoes) {
  Server server([](PipeServer&, int, const std::string&) {});
  std::vector<HANDLE> held;
  for (std::size_t i = 0; i < PipeServer::kMaxClients; ++i) held.push_back(OpenRaw());
  for (HANDLE h : held) EXPECT_NE(h, INVALID_HANDLE_VALUE);
  std::string why;
  EXPECT_EQ(ConnectToService(&why), nullptr);
  EXPECT_NE(why.find("the service is busy"), std::string::npos) << why;
  std::thread leave([&held] {
    ::Sleep(300);  // while the command line waits for an instance
    ::CloseHandle(held.back());
  });
  EXPECT_EQ(ConnectToService(&why), nullptr);
  leave.join();
  held.pop_back();
  // It got in, and found no service there.
  EXPECT_NE(why.find("is served by process " + kOwnPid), std::string::npos) << why;
  for (HANDLE h : held) ::CloseHandle(h);
}

// Whether the server has closed `client`'s end, once what it had sent is read.
bool Closed(HANDLE client) {
  char buffer[65536];
  for (DWORD waiting = 0, n = 0; ::PeekNamedPipe(client, nullptr, 0, nullptr, &waiting, nullptr);) {
    if (waiting == 0 || !::ReadFile(client, buffer, sizeof buffer, &n, nullptr)) return false;
  }
  return true;
}

TEST(PipeServer, DropsAClientThatDoesNotReadItsAnswers) {
  const std::string answer(8192, 'a');
  int lines = 0;
  Server server([&](PipeServer& pipe, int client, const std::string&) {
    ++lines;
    pipe.Send(client, answer);
  });
  const HANDLE deaf = OpenRaw(), reader = OpenRaw();
  // Twice the bound's worth of answers for the one that does not read, half of it for the
  // one that does.
  const std::string asks(64, '\n');
  DWORD n = 0;
  ASSERT_TRUE(::WriteFile(deaf, asks.data(), 64, &n, nullptr));
  ASSERT_TRUE(::WriteFile(reader, asks.data(), 16, &n, nullptr));
  std::size_t read = 0;
  std::vector<char> buffer(65536);
  EXPECT_TRUE(PumpUntil([&] {
    DWORD waiting = 0;
    if (::PeekNamedPipe(reader, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0 &&
        ::ReadFile(reader, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      read += n;
    }
    // 32 answers queued are beyond the bound; whether one or two were on the line by then
    // is the writer's race, so the deaf one is dropped at its 32nd to 34th line.
    return lines >= 16 + 32 && read == 16 * (answer.size() + 1);
  })) << "read "
      << read << " of 16 answers, " << lines << " lines taken";
  EXPECT_TRUE(PumpUntil([&] { return Closed(deaf); })) << "the deaf client stayed";
  EXPECT_LE(lines, 16 + 34) << "what the deaf one sent after its drop was taken";
  // The reader stays. (The sessions' drop of a client is tests/win32/service_test.sh's.)
  EXPECT_FALSE(Closed(reader));
  ::CloseHandle(deaf);
  ::CloseHandle(reader);
}

}  // namespace
}  // namespace horalign
