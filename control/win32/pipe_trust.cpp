#include "control/win32/pipe_trust.h"

#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "control/win32/pipe_server.h"

namespace horalign {
namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) return "";
  std::string result = text;
  ::LocalFree(text);
  return result;
}

// A token's information of one class, in a buffer of the size the system asks for.
std::string TokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS what) {
  DWORD size = 0;
  ::GetTokenInformation(token, what, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !::GetTokenInformation(token, what, buffer.data(), size, &size)) return "";
  return buffer;
}

// The user and the enabled groups of the process `pid`; false when its token is closed to us.
bool ReadToken(DWORD pid, PipeServerFacts& facts) {
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  HANDLE token = nullptr;
  const bool opened = ::OpenProcessToken(process, TOKEN_QUERY, &token) != 0;
  ::CloseHandle(process);
  if (!opened) return false;
  const std::string user = TokenInfo(token, TokenUser);
  const std::string groups = TokenInfo(token, TokenGroups);
  ::CloseHandle(token);
  if (user.empty() || groups.empty()) return false;
  facts.user = SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    const DWORD attributes = list->Groups[i].Attributes;
    if ((attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0) {
      facts.groups.push_back(SidText(list->Groups[i].Sid));
    }
  }
  return true;
}

// The process the service control manager runs as the service, 0 when it runs none.
DWORD ServiceProcessId() {
  const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  const SC_HANDLE service = ::OpenServiceA(manager, kTrustedServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  const bool known = service != nullptr &&
                     ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<BYTE*>(&status), sizeof status, &size);
  if (service != nullptr) ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return known && status.dwCurrentState != SERVICE_STOPPED ? status.dwProcessId : 0;
}

}  // namespace

std::string ServiceSidOf(const std::string& serviceName) {
  std::string name;  // UTF-16LE of the capitals: service names are ASCII
  for (char c : serviceName) {
    name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    name += '\0';
  }
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  BYTE digest[20] = {};
  DWORD size = sizeof digest;
  bool done =
      ::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
      ::CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
      ::CryptHashData(hash, reinterpret_cast<const BYTE*>(name.data()),
                      static_cast<DWORD>(name.size()), 0) &&
      ::CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
  if (hash != 0) ::CryptDestroyHash(hash);
  if (provider != 0) ::CryptReleaseContext(provider, 0);
  if (!done) return "";
  std::string sid = "S-1-5-80";
  for (int i = 0; i < 5; ++i) {
    std::uint32_t part = 0;
    for (int b = 3; b >= 0; --b) part = part << 8 | digest[4 * i + b];
    sid += "-" + std::to_string(part);
  }
  return sid;
}

std::string WhyNotTheService(const PipeServerFacts& facts, const std::string& serviceSid) {
  const std::string pipe = std::string(PipeServer::kPipeName) + " is served by ";
  if (facts.processId == 0) return pipe + "a process the system does not name";
  if (facts.processId == facts.serviceProcessId) return "";
  const bool isService = !serviceSid.empty() && (facts.user == serviceSid ||
                                                 std::find(facts.groups.begin(), facts.groups.end(),
                                                           serviceSid) != facts.groups.end());
  if (facts.tokenRead && (facts.user == kSystemSid || isService)) return "";
  const std::string process = pipe + "process " + std::to_string(facts.processId);
  return facts.tokenRead
             ? process + ", which runs as " + facts.user + ", not as the Horalign service"
             : process + ", which is not the Horalign service";
}

HANDLE OpenServicePipe(DWORD flags) {
  return ::CreateFileA(PipeServer::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, flags | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
}

std::string CheckPipeServer(HANDLE pipe) {
  PipeServerFacts facts;
  ULONG pid = 0;
  if (::GetNamedPipeServerProcessId(pipe, &pid)) facts.processId = pid;
  if (facts.processId != 0) {
    facts.tokenRead = ReadToken(facts.processId, facts);
    facts.serviceProcessId = ServiceProcessId();
  }
  return WhyNotTheService(facts, ServiceSidOf(kTrustedServiceName));
}

}  // namespace horalign
