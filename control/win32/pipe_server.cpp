#include "control/win32/pipe_server.h"

#include <sddl.h>

#include <utility>

#include "control/win32/pipe_trust.h"

namespace horalign {
namespace {

constexpr const char* kWindowClass = "HoralignPipeWindow";
constexpr UINT kLinesWaiting = WM_APP + 1;
constexpr DWORD kBufferBytes = 4096;

// The system, administrators and the service's own SID have it all; Users may read and
// write data, which lets them ask and read answers, but neither create an instance of the
// pipe nor change its security. The owner (the service's account, which other services may
// share) gets no more than to read the security, in place of an owner's right to change it.
// Which request changes something the service decides per client (an administrator's
// token), as the system bus leaves it to polkit on Linux.
std::string PipeSecurity(const std::string& serviceSid) {
  return "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + serviceSid +
         ")(A;;0x0012019b;;;BU)(A;;RC;;;S-1-3-4)";
}

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
// one: a filtered token holds the group for denying only). An identification token, all a
// client of ours allows, is enough to tell.
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

// Starts an overlapped transfer on `ov`; false when the pipe has broken.
bool StartTransfer(bool write, HANDLE pipe, char* data, DWORD size, OVERLAPPED& ov) {
  ::ResetEvent(ov.hEvent);
  const BOOL ok = write ? ::WriteFile(pipe, data, size, nullptr, &ov)
                        : ::ReadFile(pipe, data, size, nullptr, &ov);
  const DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
  return ok || code == ERROR_IO_PENDING || code == ERROR_MORE_DATA;
}

// Cuts a client's bytes into lines of at most kMaxLine bytes; a longer one is told once
// (nullptr) and the rest of it passed over.
class LineCutter {
 public:
  template <typename Out>
  void Take(const char* bytes, DWORD size, const Out& out) {
    for (DWORD i = 0; i < size; ++i) {
      const char c = bytes[i];
      if (c == '\n') {
        if (!dropping_) {
          if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
          out(&pending_);
        }
        pending_.clear();
        dropping_ = false;
      } else if (!dropping_) {
        pending_ += c;
        if (pending_.size() > PipeServer::kMaxLine) {
          out(nullptr);
          pending_.clear();
          dropping_ = true;
        }
      }
    }
  }

 private:
  std::string pending_;
  bool dropping_ = false;  // the rest of a line that was too long
};

}  // namespace

struct PipeServer::Client {
  int id = 0;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;  // set when the outbox has lines, or the client is dropped
  // Guarded by the server's mutex:
  std::deque<std::string> outbox;
  std::size_t outboxBytes = 0;
  bool dropped = false;
  std::thread thread;
};

PipeServer::PipeServer(Handlers handlers)
    : handlers_(std::move(handlers)), security_(PipeSecurity(ServiceSidOf(kTrustedServiceName))) {
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
  slotFree_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
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
  for (HANDLE pipe : idle_) ::CloseHandle(pipe);
  if (claimed_ != INVALID_HANDLE_VALUE) ::CloseHandle(claimed_);
  if (window_ != nullptr) ::DestroyWindow(window_);
  ::CloseHandle(slotFree_);
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
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(security_.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const HANDLE pipe = ::CreateNamedPipeA(
      kPipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      static_cast<DWORD>(kMaxClients), kBufferBytes, kBufferBytes, 0, &attributes);
  ::LocalFree(descriptor);
  return pipe;
}

bool PipeServer::Claim(std::string& error) {
  const HANDLE first = NewInstance(true);
  const DWORD code = first == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  // Not every system refuses the first instance of a name that is served already: one
  // that lets us in shows the other process's instances beside ours.
  DWORD instances = 1;
  if (first != INVALID_HANDLE_VALUE &&
      !::GetNamedPipeHandleStateA(first, nullptr, &instances, nullptr, nullptr, nullptr, 0)) {
    instances = 1;
  }
  if (first != INVALID_HANDLE_VALUE && instances == 1) {
    claimed_ = first;
    instances_ = 1;
    return true;
  }
  if (first != INVALID_HANDLE_VALUE) ::CloseHandle(first);
  const bool taken = instances > 1 || code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY;
  error = std::string(kPipeName) +
          (taken ? " is already served by another process"
                 : " could not be created (error " + std::to_string(code) + ")");
  return false;
}

void PipeServer::Listen() {
  if (claimed_ == INVALID_HANDLE_VALUE || listener_.joinable()) return;
  listener_ = std::thread([this] { Accept(); });
}

HANDLE PipeServer::NextInstance() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      const HANDLE pipe = idle_.back();
      idle_.pop_back();
      return pipe;
    }
    if (instances_ >= kMaxClients) return INVALID_HANDLE_VALUE;
  }
  const HANDLE pipe = NewInstance(false);
  if (pipe != INVALID_HANDLE_VALUE) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++instances_;
  }
  return pipe;
}

void PipeServer::Accept() {
  const Handle connected(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE pipe = std::exchange(claimed_, INVALID_HANDLE_VALUE);
  for (;;) {
    if (pipe == INVALID_HANDLE_VALUE) {
      // Every client slot taken, or out of resources for a moment: wait for a client to go
      // (or a second), or end when asked to.
      const HANDLE waits[] = {slotFree_, stop_};
      if (::WaitForMultipleObjects(2, waits, FALSE, 1000) == WAIT_OBJECT_0 + 1) return;
      pipe = NextInstance();
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
      // A client that came and went before it was taken: wait on the instance afresh.
      ::DisconnectNamedPipe(pipe);
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
    pipe = NextInstance();
  }
}

void PipeServer::Serve(std::shared_ptr<Client> client) {
  const HANDLE pipe = client->pipe;
  const Handle readDone(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const Handle writeDone(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::vector<char> buffer(kBufferBytes);
  std::string writing;
  LineCutter lines;
  bool adminKnown = false, admin = false, inFlight = false;
  OVERLAPPED rd{}, wr{};
  rd.hEvent = readDone.h;
  wr.hEvent = writeDone.h;
  // Reading goes on while an answer waits for the client to take it, so that a client that
  // only sends is seen to owe too many answers, and dropped.
  bool open = StartTransfer(false, pipe, buffer.data(), kBufferBytes, rd);
  while (open) {
    if (!inFlight) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (client->dropped) break;
        if (!client->outbox.empty()) {
          writing = std::move(client->outbox.front());
          client->outbox.pop_front();
          client->outboxBytes -= writing.size();
          inFlight = true;
        }
      }
      if (inFlight &&
          !StartTransfer(true, pipe, writing.data(), static_cast<DWORD>(writing.size()), wr)) {
        break;
      }
    }
    const HANDLE waits[] = {readDone.h, writeDone.h, client->wake, stop_};
    const DWORD woke = ::WaitForMultipleObjects(4, waits, FALSE, INFINITE);
    DWORD done = 0;
    if (woke == WAIT_OBJECT_0) {
      if (!::GetOverlappedResult(pipe, &rd, &done, FALSE) && ::GetLastError() != ERROR_MORE_DATA) {
        break;
      }
      // The client's token, once it has written (the system lets a server take it then).
      if (!adminKnown) admin = ClientIsAdmin(pipe), adminKnown = true;
      lines.Take(buffer.data(), done, [&](std::string* line) {
        if (line != nullptr)
          return Post({Incoming::What::kLine, client->id, std::move(*line), admin});
        Post({Incoming::What::kTooLong, client->id, {}, admin});
      });
      open = StartTransfer(false, pipe, buffer.data(), kBufferBytes, rd);
    } else if (woke == WAIT_OBJECT_0 + 1) {
      if (!::GetOverlappedResult(pipe, &wr, &done, FALSE) || done != writing.size()) break;
      ::ResetEvent(writeDone.h);
      inFlight = false;
    } else if (woke != WAIT_OBJECT_0 + 2) {
      break;  // the end; a wake is looked at above
    }
  }
  ::CancelIo(pipe);
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, &rd, &ignored, TRUE);
  if (inFlight) ::GetOverlappedResult(pipe, &wr, &ignored, TRUE);
  // The instance waits for the next client.
  ::DisconnectNamedPipe(pipe);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(pipe);
  }
  ::SetEvent(slotFree_);
  Post({Incoming::What::kGone, client->id, {}, false});
}

void PipeServer::Post(Incoming incoming) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const bool first = incoming_.empty();
  incoming_.push_back(std::move(incoming));
  if (first) ::PostMessageA(window_, kLinesWaiting, 0, 0);
}

bool PipeServer::Dropped(int client) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(client);
  return found != clients_.end() && found->second->dropped;
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
        if (!Dropped(in.client)) handlers_.line(in.client, in.line, in.admin);
        break;
      case Incoming::What::kTooLong:
        if (!Dropped(in.client)) handlers_.tooLong(in.client);
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
  if (found == clients_.end() || found->second->dropped) return;
  Client& c = *found->second;
  c.outbox.push_back(line + "\n");
  c.outboxBytes += line.size() + 1;
  if (c.outboxBytes > kMaxOutbox) {
    c.dropped = true;
    c.outbox.clear();
    c.outboxBytes = 0;
  }
  ::SetEvent(c.wake);
}

void PipeServer::Drop(int client) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;
  found->second->dropped = true;
  found->second->outbox.clear();
  found->second->outboxBytes = 0;
  ::SetEvent(found->second->wake);
}

}  // namespace horalign
