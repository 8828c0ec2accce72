// The pipe's guards on the real system calls (under Wine in scripts/test-windows.sh): the
// clients' refusal of a server that is not the service.
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
  // The installer's service, as every Windows names it; the name counts in any case.
  EXPECT_EQ(ServiceSidOf("TrustedInstaller"),
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  EXPECT_EQ(ServiceSidOf("trustedinstaller"), ServiceSidOf("TRUSTEDINSTALLER"));
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
  std::unique_ptr<ServiceConnection> connection = ConnectToService(&why);
  const bool cliRefused = connection == nullptr;
  if (connection) connection->Call(MakeRequest(RequestKind::kGetSettings));
  connection.reset();
  EXPECT_TRUE(cliRefused);
  EXPECT_NE(why.find("is served by process " + kOwnPid), std::string::npos) << why;
  EXPECT_NE(why.find("nothing was sent"), std::string::npos) << why;
  EXPECT_EQ(Received(forCli), "");

  const HANDLE forTray = Squat();
  sim::VirtualTime time;
  sim::VirtualLoop loop(time);
  std::unique_ptr<ServicePipeLink> link = ServicePipeLink::Connect(loop);
  EXPECT_EQ(link, nullptr) << "the tray took a stranger for the service";
  if (link) link->Watch({[](const ServiceRow&) {}, {}, {}});
  link.reset();
  EXPECT_EQ(Received(forTray), "");
}

}  // namespace
}  // namespace horalign
