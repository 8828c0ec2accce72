#pragma once

#include "platform/win32/win32_api.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace horalign {

// The named pipe \\.\pipe\Horalign, one line of text a message each way. Threads of its
// own wait on the pipe, one for new clients and one per client, and hand each line to the
// service's thread through a message-only window of that thread, so the service sees its
// clients' lines, as all its work, on its one thread. Replies are handed the other way.
// Only the system, administrators and the service's own SID may create instances of the
// pipe; Users may ask and read.
class PipeServer {
 public:
  static constexpr const char* kPipeName = "\\\\.\\pipe\\Horalign";
  // A request is a few dozen bytes; a longer line is dropped and answered with an error.
  static constexpr std::size_t kMaxLine = 4096;
  // Clients at once: the next finds the pipe busy until one goes.
  static constexpr std::size_t kMaxClients = 16;
  // Bytes of answers and notices a client has not taken: 32 answers of all 16 rows fit,
  // with room for notices. Beyond them it does not read, and is dropped.
  static constexpr std::size_t kMaxOutbox = 256 * 1024;

  struct Handlers {
    // A line from `client`; `admin`: the client is an administrator (elevated).
    std::function<void(int client, const std::string& line, bool admin)> line;
    std::function<void(int client)> tooLong;
    std::function<void(int client)> gone;
  };

  explicit PipeServer(Handlers handlers);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the pipe's first instance, so that no other process serves it under our name;
  // false with `error` when it cannot, or when another process serves the name already.
  bool Claim(std::string& error);
  // Takes clients on the claimed pipe.
  void Listen();
  // Queues `line` (without its line break) for `client`; nothing when it has gone.
  void Send(int client, const std::string& line);
  // Ends the connection of `client`; what it sent and was not handed on yet is dropped.
  void Drop(int client);

 private:
  struct Client;
  struct Incoming {
    enum class What { kLine, kTooLong, kGone } what;
    int client;
    std::string line;
    bool admin;
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HANDLE NewInstance(bool first);
  // An instance to wait on: one a client has left, or a new one while there are fewer than
  // kMaxClients; INVALID_HANDLE_VALUE when there is none.
  HANDLE NextInstance();
  void Accept();
  void Serve(std::shared_ptr<Client> client);
  void Post(Incoming incoming);
  void Deliver();
  bool Dropped(int client);

  Handlers handlers_;
  std::string security_;  // the pipe's security descriptor
  HWND window_ = nullptr;
  HANDLE stop_ = nullptr;      // set at the end: every thread returns
  HANDLE slotFree_ = nullptr;  // set when a client has gone
  HANDLE claimed_ = INVALID_HANDLE_VALUE;
  std::thread listener_;
  std::mutex mutex_;  // guards what follows
  std::deque<Incoming> incoming_;
  std::map<int, std::shared_ptr<Client>> clients_;
  std::vector<HANDLE> idle_;  // instances clients have left, disconnected
  std::size_t instances_ = 0;
  int nextClient_ = 1;
};

}  // namespace horalign
