#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/platform/event_loop.h"
#include "core/platform/service_link.h"

namespace horalign {

// The tray program's side of the service's pipe (\\.\pipe\Horalign, one JSON object a line
// each way): a Watch for the rows and the settings, and one request per button, each with
// an id its answer carries back. Nothing blocks but a write of one short line: what the
// service sends is read when a timer of the loop finds it waiting. A pipe that breaks is the
// service gone; the link then tries to open it again every few seconds.
class ServicePipeLink final : public ServiceLink {
 public:
  // Open when the service serves its pipe, else nullptr.
  static std::unique_ptr<ServicePipeLink> Connect(EventLoop& loop);
  ~ServicePipeLink() override;
  ServicePipeLink(const ServicePipeLink&) = delete;
  ServicePipeLink& operator=(const ServicePipeLink&) = delete;

  void Watch(Listener listener) override;
  void Ask(const ServiceRequest& request,
           std::function<void(const std::string& problem)> done) override;

 private:
  ServicePipeLink(EventLoop& loop, HANDLE pipe);
  bool Send(const std::string& line);
  void Poll();
  void Take(const std::string& line);
  void Lost();

  EventLoop& loop_;
  HANDLE pipe_;
  Listener listener_;
  std::string pending_;  // read past the last line break
  std::map<std::int64_t, std::function<void(const std::string&)>> asked_;
  std::int64_t nextId_ = 1;
  int reconnectTicks_ = 0;
  std::unique_ptr<Timer> tmrPoll_;
};

}  // namespace horalign
