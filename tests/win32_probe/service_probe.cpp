// A client of the service for the tests under Wine (tests/win32/service_test.sh):
//   service_probe [--restricted] lines FILE   sends FILE's lines to \\.\pipe\Horalign and
//       prints each answer line; "@long N" sends N bytes and a line break, "@next" only
//       reads one more line (a notification); --restricted connects with the token's
//       Administrators group for denying only, as a standard user's or an unelevated one's.
//   service_probe events   prints the Application log's "Horalign" events: ID, type, text.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

bool ReadLine(HANDLE pipe, std::string& pending, std::string& line) {
  for (;;) {
    if (const auto end = pending.find('\n'); end != std::string::npos) {
      line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return true;
    }
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    DWORD got = 0;
    BOOL ok = ::ReadFile(pipe, buffer, sizeof buffer, nullptr, &ov);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(ov.hEvent, 10000) != WAIT_OBJECT_0) ::CancelIo(pipe);
      ok = TRUE;
    }
    ok = ok && ::GetOverlappedResult(pipe, &ov, &got, TRUE);
    ::CloseHandle(ov.hEvent);
    if (!ok || got == 0) return false;
    pending.append(buffer, got);
  }
}

bool Write(HANDLE pipe, const std::string& bytes) {
  OVERLAPPED ov{};
  ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD done = 0;
  BOOL ok = ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) ok = TRUE;
  ok = ok && ::GetOverlappedResult(pipe, &ov, &done, TRUE);
  ::CloseHandle(ov.hEvent);
  return ok && done == bytes.size();
}

// Impersonates the process's own token with Administrators for denying only.
bool Restrict() {
  HANDLE token = nullptr, restricted = nullptr;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &token) ||
      !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
    return false;
  }
  SID_AND_ATTRIBUTES deny{sid, 0};
  const bool ok =
      ::CreateRestrictedToken(token, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted) &&
      ::ImpersonateLoggedOnUser(restricted);
  return ok;
}

int Lines(const char* file) {
  const HANDLE pipe = ::CreateFileA("\\\\.\\pipe\\Horalign", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "service_probe: no pipe (error %lu)\n", ::GetLastError());
    return 1;
  }
  std::ifstream in(file, std::ios::binary);
  std::string request, pending, answer;
  while (std::getline(in, request)) {
    if (request.rfind("@long ", 0) == 0) {
      request = std::string(std::stoul(request.substr(6)), 'x');
    } else if (request == "@next") {
      if (!ReadLine(pipe, pending, answer)) return 1;
      std::printf("%s\n", answer.c_str());
      continue;
    }
    if (!Write(pipe, request + "\n") || !ReadLine(pipe, pending, answer)) {
      std::fprintf(stderr, "service_probe: the pipe closed after: %s\n", request.c_str());
      return 1;
    }
    std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
  }
  ::CloseHandle(pipe);
  return 0;
}

int Events() {
  const HANDLE log = ::OpenEventLogA(nullptr, "Application");
  if (log == nullptr) {
    std::fprintf(stderr, "service_probe: no event log (error %lu)\n", ::GetLastError());
    return 1;
  }
  std::string buffer(1 << 16, '\0');
  DWORD read = 0, needed = 0;
  while (::ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &read, &needed)) {
    for (DWORD at = 0; at < read;) {
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      const char* source = reinterpret_cast<const char*>(record + 1);
      if (std::string(source) == "Horalign") {
        const char* text = record->NumStrings > 0
                               ? reinterpret_cast<const char*>(record) + record->StringOffset
                               : "";
        std::printf("%lu %u %s\n", record->EventID & 0xFFFF, record->EventType, text);
      }
      at += record->Length;
    }
  }
  ::CloseEventLog(log);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (arg < argc && std::string(argv[arg]) == "--restricted") {
    if (!Restrict()) {
      std::fprintf(stderr, "service_probe: no restricted token (error %lu)\n", ::GetLastError());
      return 2;
    }
    ++arg;
  }
  if (arg + 1 < argc && std::string(argv[arg]) == "lines") return Lines(argv[arg + 1]);
  if (arg < argc && std::string(argv[arg]) == "events") return Events();
  std::fprintf(stderr, "usage: service_probe [--restricted] lines FILE | events\n");
  return 2;
}
