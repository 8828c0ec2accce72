#pragma once

// Where a transport hands its callers' requests, and what the service tells every client
// that listens. The service implements both ends (service/service_control.h); the bus and
// the pipe only decode, call and encode.
#include <functional>
#include <string>

#include "control/protocol.h"

namespace horalign {

// Who asks, as the transport knows them.
struct Caller {
  // For the bounds on what one caller may have waiting: the user where the transport knows
  // it ("uid:1000"), else the connection ("pipe:7").
  std::string who;
  // Whether the caller may manage the service. `done` gets the answer now (root, an
  // administrator's token) or later from the loop (polkit may ask a person); `why` says
  // why not.
  using Decided = std::function<void(bool allowed, const std::string& why)>;
  std::function<void(const Request& request, Decided done)> authorize;
};

class ControlHandler {
 public:
  using Reply = std::function<void(const Answer& answer)>;
  virtual ~ControlHandler() = default;
  // `reply` is called exactly once: at once for a read or a refusal, else once the
  // operation is done. A caller that has gone meanwhile misses it and nothing else.
  virtual void Take(const Request& request, Caller caller, Reply reply) = 0;
};

class ControlListener {
 public:
  virtual ~ControlListener() = default;
  // A row has settled.
  virtual void RowChanged(const ServiceRow& row) = 0;
  // An operation changed the settings.
  virtual void SettingsChanged(const ServiceSettingsRead& settings) = 0;
};

}  // namespace horalign
