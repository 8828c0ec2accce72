// A client of the service for the tests under Wine (tests/win32/service_test.sh):
//   service_probe lines FILE   sends FILE's lines to \\.\pipe\Horalign, each followed by a
//       line break, and prints the line that answers each; "@long N" sends N bytes instead,
//       "@next" sends nothing and prints the next line (a notification), "@batch N" sends the
//       next N lines at once and prints what comes back, up to N lines, then "@closed" when
//       the service closed the pipe or "@timeout" when it stayed silent.
//   service_probe squat   serves the pipe's name before the service does, says "squatting",
//       and holds it until it is killed.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

enum class Got { kLine, kClosed, kTimeout };

Got ReadLine(HANDLE pipe, std::string& pending, std::string& line) {
  for (;;) {
    if (const auto end = pending.find('\n'); end != std::string::npos) {
      line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return Got::kLine;
    }
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    DWORD got = 0;
    BOOL ok = ::ReadFile(pipe, buffer, sizeof buffer, nullptr, &ov);
    bool silent = false;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      silent = ::WaitForSingleObject(ov.hEvent, 10000) != WAIT_OBJECT_0;
      if (silent) ::CancelIo(pipe);
      ok = TRUE;
    }
    ok = ok && ::GetOverlappedResult(pipe, &ov, &got, TRUE);
    ::CloseHandle(ov.hEvent);
    if (!ok || got == 0) return silent ? Got::kTimeout : Got::kClosed;
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

void Batch(HANDLE pipe, std::ifstream& in, int count, std::string& pending) {
  std::string lines, line;
  for (int i = 0; i < count && std::getline(in, line); ++i) lines += line + "\n";
  Got got = Write(pipe, lines) ? Got::kLine : Got::kClosed;
  for (int i = 0; i < count && got == Got::kLine; ++i) {
    if ((got = ReadLine(pipe, pending, line)) == Got::kLine) std::printf("%s\n", line.c_str());
  }
  if (got != Got::kLine) std::printf(got == Got::kClosed ? "@closed\n" : "@timeout\n");
}

// Serves the name first, and holds it until killed.
int Squat() {
  const HANDLE pipe =
      ::CreateNamedPipeA("\\\\.\\pipe\\Horalign", PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  std::printf("squatting\n");
  std::fflush(stdout);
  ::Sleep(INFINITE);
  return 0;
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
      if (ReadLine(pipe, pending, answer) != Got::kLine) return 1;
      std::printf("%s\n", answer.c_str());
      continue;
    } else if (request.rfind("@batch ", 0) == 0) {
      Batch(pipe, in, std::stoi(request.substr(7)), pending);
      continue;
    }
    if (!Write(pipe, request + "\n") || ReadLine(pipe, pending, answer) != Got::kLine) {
      std::fprintf(stderr, "service_probe: the pipe closed after: %s\n", request.c_str());
      return 1;
    }
    std::printf("%s\n", answer.c_str());
  }
  ::CloseHandle(pipe);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "lines") return Lines(argv[2]);
  if (argc == 2 && std::string(argv[1]) == "squat") return Squat();
  std::fprintf(stderr, "usage: service_probe lines FILE | squat\n");
  return 2;
}
