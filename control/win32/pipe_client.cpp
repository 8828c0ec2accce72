// The command line's side of the service's named pipe: one request a line, its answer the
// next line that is no notice.
#include "platform/win32/win32_api.h"

#include <string>

#include "control/json_lines.h"
#include "control/service_connection.h"
#include "control/win32/pipe_server.h"
#include "control/win32/pipe_trust.h"

namespace horalign {
namespace {

// Reading the rows or the settings: the service answers those from its state at once.
constexpr DWORD kReadTimeoutMs = 5000;
// A device operation waits for those queued before it.
constexpr DWORD kWorkTimeoutMs = 300000;
constexpr std::size_t kMaxAnswer = 1 << 20;
// Every instance of the pipe busy: the service makes another at once, so wait a little.
constexpr DWORD kBusyWaitMs = 3000;

class PipeConnection final : public ServiceConnection {
 public:
  explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {}
  ~PipeConnection() override { ::CloseHandle(pipe_); }

  Answer Call(const Request& request) override {
    const DWORD timeoutMs = InfoOf(request.kind).atOnce ? kReadTimeoutMs : kWorkTimeoutMs;
    std::string line = EncodeRequestLine(request, -1) + "\n";
    DWORD done = 0;
    if (!Transfer(true, line.data(), static_cast<DWORD>(line.size()), timeoutMs, done) ||
        done != line.size()) {
      return Answer::Refused(ErrorKind::kFailed, "the service's pipe is closed");
    }
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
      // Lines that are no answer (notices) are passed over.
      for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string text = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        std::string error;
        std::optional<AnswerLine> answer = DecodeAnswerLine(request.kind, text, error);
        if (!answer) {
          return Answer::Refused(ErrorKind::kFailed,
                                 "the service answered no JSON object: " + error);
        }
        if (answer->event.empty()) return std::move(answer->answer);
      }
      const ULONGLONG now = ::GetTickCount64();
      char buffer[4096];
      if (now >= deadline || pending_.size() > kMaxAnswer ||
          !Transfer(false, buffer, sizeof buffer, static_cast<DWORD>(deadline - now), done) ||
          done == 0) {
        return Answer::Refused(ErrorKind::kFailed, ::GetTickCount64() >= deadline
                                                       ? "the service did not answer in time"
                                                       : "the service closed its pipe");
      }
      pending_.append(buffer, done);
    }
  }

 private:
  bool Transfer(bool write, char* data, DWORD size, DWORD timeoutMs, DWORD& done) {
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = write ? ::WriteFile(pipe_, data, size, nullptr, &ov)
                    : ::ReadFile(pipe_, data, size, nullptr, &ov);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) ::CancelIo(pipe_);
      ok = true;
    }
    ok = ok && ::GetOverlappedResult(pipe_, &ov, &done, TRUE);
    ::CloseHandle(ov.hEvent);
    return ok;
  }

  HANDLE pipe_;
  std::string pending_;  // read past the last answer's line break
};

}  // namespace

std::unique_ptr<ServiceConnection> ConnectToService(std::string* why) {
  const ULONGLONG deadline = ::GetTickCount64() + kBusyWaitMs;
  for (;;) {
    const HANDLE pipe = OpenServicePipe(FILE_FLAG_OVERLAPPED);
    const DWORD code = pipe == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (pipe != INVALID_HANDLE_VALUE) {
      // Whoever serves the name hears nothing until it is found to be the service.
      const std::string stranger = CheckPipeServer(pipe);
      if (stranger.empty()) return std::make_unique<PipeConnection>(pipe);
      ::CloseHandle(pipe);
      if (why != nullptr) *why = stranger + ": nothing was sent to it";
      return nullptr;
    }
    const ULONGLONG now = ::GetTickCount64();
    if (code != ERROR_PIPE_BUSY || now >= deadline) {
      if (why != nullptr) {
        *why = code == ERROR_PIPE_BUSY
                   ? std::string("the service is busy: every instance of ") +
                         PipeServer::kPipeName + " stayed in use"
                   : std::string("no service runs: nothing serves ") + PipeServer::kPipeName;
      }
      return nullptr;
    }
    ::WaitNamedPipeA(PipeServer::kPipeName, static_cast<DWORD>(deadline - now));
  }
}

}  // namespace horalign
