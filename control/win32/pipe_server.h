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

namespace horalign {

// The named pipe \\.\pipe\Horalign, one line of text a message each way. Threads of its
// own wait on the pipe, one for new clients and one per client, and hand each line to the
// service's thread through a message-only window of that thread, so the service sees its
// clients' lines, as all its work, on its one thread. Replies are handed the other way.
class PipeServer {
 public:
  static constexpr const char* kPipeName = "\\\\.\\pipe\\Horalign";
  // A request is a few dozen bytes; a longer line is dropped and answered with an error.
  static constexpr std::size_t kMaxLine = 4096;

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

  // Creates the pipe (the first instance of its name, so that no other process serves it
  // under our name) and starts listening; false with `error` when it cannot.
  bool Start(std::string& error);
  // Queues `line` (without its line break) for `client`; nothing when it has gone.
  void Send(int client, const std::string& line);

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
  void Listen(HANDLE pipe);
  void Serve(std::shared_ptr<Client> client);
  void Post(Incoming incoming);
  void Deliver();

  Handlers handlers_;
  HWND window_ = nullptr;
  HANDLE stop_ = nullptr;  // set at the end: every thread returns
  std::thread listener_;
  std::mutex mutex_;  // guards what follows
  std::deque<Incoming> incoming_;
  std::map<int, std::shared_ptr<Client>> clients_;
  int nextClient_ = 1;
};

}  // namespace horalign
