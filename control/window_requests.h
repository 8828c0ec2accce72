#pragma once

// What a window's button asks of the service, as the protocol has it, and the service's
// settings as the window holds them; for both links (the bus's and the pipe's).
#include "control/protocol.h"
#include "core/platform/service_link.h"

namespace horalign {

Request RequestOf(const ServiceRequest& request);
ServiceSettings WindowSettings(const ServiceSettingsRead& settings);

}  // namespace horalign
