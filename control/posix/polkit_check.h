#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <string>

namespace horalign {

// Asks polkit, without waiting for its answer, whether the sender of `call` may do
// `action`. The sender is named by its unique bus name, and its user by the bus's record
// of the connection, never by the message's contents. Root is allowed at once. `done` runs
// from the bus's dispatch (or at once) with the answer and, on a refusal, why.
void CheckAuthorization(sd_bus* bus, sd_bus_message* call, const char* action,
                        std::function<void(bool allowed, const std::string& why)> done);

}  // namespace horalign
