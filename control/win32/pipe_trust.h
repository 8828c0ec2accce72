#pragma once

// Who may serve \\.\pipe\Horalign, as a client decides before it sends a byte. Any program
// can create a pipe of that name before the service does; a client that talked to it would
// hand it its requests, and its token for the server to act as it. The clients therefore
// open the pipe for identification only, and send nothing until its server is found to be
// the service.
#include "platform/win32/win32_api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace horalign {

inline constexpr const char* kTrustedServiceName = "Horalign";
inline constexpr const char* kSystemSid = "S-1-5-18";

// "NT SERVICE\<name>" as a SID string: S-1-5-80 and the SHA-1 of the name in capitals
// (UTF-16LE) as five little-endian numbers. "" when the hash cannot be made.
std::string ServiceSidOf(const std::string& serviceName);

// What a client learns of the process at the other end of the pipe.
struct PipeServerFacts {
  std::uint32_t processId = 0;         // 0: the system did not say
  bool tokenRead = false;              // its token could be opened and read
  std::string user;                    // the token's user
  std::vector<std::string> groups;     // the token's enabled groups (deny-only ones left out)
  std::uint32_t serviceProcessId = 0;  // the process the control manager runs as the service
};

// "" when the server is the service: its token is the system's or holds `serviceSid`, or
// it is the very process the service control manager started as the service. Otherwise why
// it is not, for the user to read.
std::string WhyNotTheService(const PipeServerFacts& facts, const std::string& serviceSid);

// Opens the pipe as a client (`flags`: FILE_FLAG_OVERLAPPED or 0) with the server allowed to
// identify the client but never to act as it.
HANDLE OpenServicePipe(DWORD flags);
// The facts of the server of `pipe`, and the decision on them: "" when it is the service.
std::string CheckPipeServer(HANDLE pipe);

}  // namespace horalign
