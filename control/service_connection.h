#pragma once

// A client's side of the service's control interface, whatever carries it: the system bus
// (control/posix/bus_client.cpp) or the named pipe (control/win32/pipe_client.cpp), chosen
// when the program is built.
#include <memory>
#include <string>

#include "control/protocol.h"

namespace horalign {

class ServiceConnection {
 public:
  virtual ~ServiceConnection() = default;
  // Sends `request` and waits for its answer: a few seconds for a read, as long as device
  // work and polkit's question may take for the rest. A transport's failure (the service
  // went, did not answer in time) is an answer with an error too.
  virtual Answer Call(const Request& request) = 0;
};

// Connected when the service runs, else nullptr with why not in `why` (when given).
std::unique_ptr<ServiceConnection> ConnectToService(std::string* why = nullptr);

}  // namespace horalign
