#include "control/win32/pipe_server.h"

#include <sddl.h>

#include <utility>
#include <vector>

namespace horalign {
namespace {

constexpr const char* kWindowClass = "HoralignPipeWindow";
constexpr UINT kLinesWaiting = WM_APP + 1;
constexpr DWORD kBufferBytes = 4096;
// The system, administrators and the service's own account have it all; Users may read and
// write data, which lets them ask and read answers, but neither create an instance of the
// pipe nor change its security. Which request changes something the service decides per
// client (an administrator's token), as the system bus leaves it to polkit on Linux.
constexpr const char* kPipeSecurity = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;LS)(A;;0x0012019b;;;BU)";

struct Handle {
  HANDLE h = nullptr;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

// Whether the client at the other end of `pipe` has an administrator's token (an elevated
// one: a filtered token holds the group for denying only).
bool ClientIsAdmin(HANDLE pipe) {
  if (!::ImpersonateNamedPipeClient(pipe)) return false;
  HANDLE token = nullptr;
  const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  ::RevertToSelf();
  if (!opened) return false;
  const Handle held(token);
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         ::CheckTokenMembership(token, sid, &member) && member;
}

}  // namespace

struct PipeServer::Client {
  int id = 0;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;           // set when the outbox has lines
  std::deque<std::string> outbox;  // guarded by the server's mutex
  std::thread thread;
};

PipeServer::PipeServer(Handlers handlers) : handlers_(std::move(handlers)) {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &PipeServer::WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kWindowClass;
  ::RegisterClassExA(&wc);
  window_ = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
  ::SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  stop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

PipeServer::~PipeServer() {
  ::SetEvent(stop_);
  if (listener_.joinable()) listener_.join();
  std::map<int, std::shared_ptr<Client>> clients;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    clients.swap(clients_);
  }
  for (auto& [id, client] : clients) {
    if (client->thread.joinable()) client->thread.join();
    ::CloseHandle(client->wake);
  }
  if (window_ != nullptr) ::DestroyWindow(window_);
  ::CloseHandle(stop_);
}

LRESULT CALLBACK PipeServer::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kLinesWaiting) {
    auto* server = reinterpret_cast<PipeServer*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (server != nullptr) server->Deliver();
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

HANDLE PipeServer::NewInstance(bool first) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kPipeSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const HANDLE pipe = ::CreateNamedPipeA(
      kPipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, &attributes);
  ::LocalFree(descriptor);
  return pipe;
}

bool PipeServer::Start(std::string& error) {
  const HANDLE first = NewInstance(true);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    error = std::string(kPipeName) +
            (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY
                 ? " is already served by another process"
                 : " could not be created (error " + std::to_string(code) + ")");
    return false;
  }
  listener_ = std::thread([this, first] { Listen(first); });
  return true;
}

void PipeServer::Listen(HANDLE pipe) {
  const Handle connected(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  for (;;) {
    if (pipe == INVALID_HANDLE_VALUE) {
      // Out of resources for a moment: try again soon, or end when asked to.
      if (::WaitForSingleObject(stop_, 1000) == WAIT_OBJECT_0) return;
      pipe = NewInstance(false);
      continue;
    }
    OVERLAPPED ov{};
    ov.hEvent = connected.h;
    ::ResetEvent(connected.h);
    bool ok = ::ConnectNamedPipe(pipe, &ov) != 0;
    const DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
    if (code == ERROR_PIPE_CONNECTED) {
      ok = true;
    } else if (code == ERROR_IO_PENDING) {
      const HANDLE waits[] = {connected.h, stop_};
      if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        DWORD ignored = 0;
        ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        ::CloseHandle(pipe);
        return;
      }
      DWORD ignored = 0;
      ok = ::GetOverlappedResult(pipe, &ov, &ignored, FALSE) != 0;
    }
    if (!ok) {
      // A client that came and went before it was taken: serve the name afresh.
      ::CloseHandle(pipe);
      pipe = NewInstance(false);
      continue;
    }
    auto client = std::make_shared<Client>();
    client->pipe = pipe;
    client->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      client->id = nextClient_++;
      clients_[client->id] = client;
      client->thread = std::thread([this, client] { Serve(client); });
    }
    pipe = NewInstance(false);
  }
}

void PipeServer::Serve(std::shared_ptr<Client> client) {
  const HANDLE pipe = client->pipe;
  const Handle readDone(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const Handle writeDone(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::vector<char> buffer(kBufferBytes);
  std::string pending;
  bool dropping = false;  // the rest of a line that was too long
  bool adminKnown = false, admin = false;
  OVERLAPPED rd{};
  rd.hEvent = readDone.h;
  auto startRead = [&] {
    ::ResetEvent(readDone.h);
    if (::ReadFile(pipe, buffer.data(), kBufferBytes, nullptr, &rd)) return true;
    const DWORD code = ::GetLastError();
    return code == ERROR_IO_PENDING || code == ERROR_MORE_DATA;
  };
  bool open = startRead();
  while (open) {
    const HANDLE waits[] = {readDone.h, client->wake, stop_};
    const DWORD woke = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      DWORD got = 0;
      if (!::GetOverlappedResult(pipe, &rd, &got, FALSE) && ::GetLastError() != ERROR_MORE_DATA) {
        break;
      }
      // The client's token, once it has written (the system lets a server take it then).
      if (!adminKnown) admin = ClientIsAdmin(pipe), adminKnown = true;
      for (DWORD i = 0; i < got; ++i) {
        const char c = buffer[i];
        if (c == '\n') {
          if (!dropping) {
            if (!pending.empty() && pending.back() == '\r') pending.pop_back();
            Post({Incoming::What::kLine, client->id, std::move(pending), admin});
          }
          pending.clear();
          dropping = false;
        } else if (!dropping) {
          pending += c;
          if (pending.size() > kMaxLine) {
            Post({Incoming::What::kTooLong, client->id, {}, admin});
            pending.clear();
            dropping = true;
          }
        }
      }
      open = startRead();
    } else if (woke == WAIT_OBJECT_0 + 1) {
      std::deque<std::string> lines;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(client->outbox);
      }
      for (const std::string& line : lines) {
        OVERLAPPED wr{};
        wr.hEvent = writeDone.h;
        ::ResetEvent(writeDone.h);
        DWORD written = 0;
        bool ok = ::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &wr);
        if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
          const HANDLE w[] = {writeDone.h, stop_};
          if (::WaitForMultipleObjects(2, w, FALSE, INFINITE) != WAIT_OBJECT_0) {
            ::CancelIo(pipe);
          }
          ok = ::GetOverlappedResult(pipe, &wr, &written, TRUE) != 0;
        } else if (ok) {
          ok = ::GetOverlappedResult(pipe, &wr, &written, TRUE) != 0;
        }
        if (!ok) {
          open = false;
          break;
        }
      }
    } else {
      break;
    }
  }
  ::CancelIo(pipe);
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, &rd, &ignored, TRUE);
  ::DisconnectNamedPipe(pipe);
  ::CloseHandle(pipe);
  Post({Incoming::What::kGone, client->id, {}, false});
}

void PipeServer::Post(Incoming incoming) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const bool first = incoming_.empty();
  incoming_.push_back(std::move(incoming));
  if (first) ::PostMessageA(window_, kLinesWaiting, 0, 0);
}

void PipeServer::Deliver() {
  std::deque<Incoming> taken;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(incoming_);
  }
  for (Incoming& in : taken) {
    switch (in.what) {
      case Incoming::What::kLine:
        handlers_.line(in.client, in.line, in.admin);
        break;
      case Incoming::What::kTooLong:
        handlers_.tooLong(in.client);
        break;
      case Incoming::What::kGone: {
        std::shared_ptr<Client> client;
        {
          const std::lock_guard<std::mutex> lock(mutex_);
          const auto found = clients_.find(in.client);
          if (found != clients_.end()) client = found->second, clients_.erase(found);
        }
        if (client && client->thread.joinable()) client->thread.join();
        if (client) ::CloseHandle(client->wake);
        handlers_.gone(in.client);
        break;
      }
    }
  }
}

void PipeServer::Send(int client, const std::string& line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;
  found->second->outbox.push_back(line + "\n");
  ::SetEvent(found->second->wake);
}

}  // namespace horalign
