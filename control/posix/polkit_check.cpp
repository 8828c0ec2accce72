#include "control/posix/polkit_check.h"

#include <cstdint>
#include <memory>

namespace horalign {
namespace {

constexpr const char* kAuthority = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
// An administrator may take a while to type the password.
constexpr std::uint64_t kAnswerTimeoutMicros = 120'000'000;

using Done = std::function<void(bool, const std::string&)>;

struct Pending {
  Done done;
  std::string action;
};

int OnAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const std::unique_ptr<Pending> pending(static_cast<Pending*>(userdata));
  const Done& done = pending->done;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    done(false, std::string("polkit could not be asked: ") +
                    (error->message != nullptr ? error->message : error->name));
    return 0;
  }
  int authorized = 0, challenge = 0;
  if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
    done(false, "polkit's answer could not be read");
    return 0;
  }
  done(authorized != 0, "not authorized by polkit for " + pending->action);
  return 0;
}

}  // namespace

void CheckAuthorization(sd_bus* bus, sd_bus_message* call, const char* action, Done done) {
  sd_bus_creds* creds = nullptr;
  uid_t uid = 1;
  const bool known = sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID, &creds) >= 0 &&
                     sd_bus_creds_get_euid(creds, &uid) >= 0;
  sd_bus_creds_unref(creds);
  if (known && uid == 0) {
    done(true, "");
    return;
  }
  const char* sender = sd_bus_message_get_sender(call);
  sd_bus_message* ask = nullptr;
  const std::uint32_t flags =
      sd_bus_message_get_allow_interactive_authorization(call) > 0 ? kAllowUserInteraction : 0;
  int r = sd_bus_message_new_method_call(bus, &ask, kAuthority, kAuthorityPath, kAuthorityInterface,
                                         "CheckAuthorization");
  if (r >= 0 && sender != nullptr) {
    r = sd_bus_message_append(ask, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", sender,
                              action, 0, flags, "");
  }
  auto* pending = new Pending{std::move(done), action};
  if (r < 0 || sender == nullptr ||
      sd_bus_call_async(bus, nullptr, ask, OnAnswer, pending, kAnswerTimeoutMicros) < 0) {
    const std::unique_ptr<Pending> owned(pending);
    owned->done(false, "polkit could not be asked");
  }
  sd_bus_message_unref(ask);
}

}  // namespace horalign
