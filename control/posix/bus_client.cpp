// The command line's side of the service's control interface on the system bus.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>

#include "control/posix/bus_codec.h"
#include "control/posix/bus_names.h"
#include "control/service_connection.h"

namespace horalign {
namespace {

// Reading the rows or the settings: the service answers those from its state at once.
constexpr std::uint64_t kReadTimeoutMicros = 5'000'000;
// A device operation waits for those queued before it, and polkit may ask for a password.
constexpr std::uint64_t kWorkTimeoutMicros = 300'000'000;

struct BusReply {
  sd_bus_message* m = nullptr;
  ~BusReply() { sd_bus_message_unref(m); }
};
struct BusError {
  sd_bus_error e{};  // SD_BUS_ERROR_NULL is a C compound literal, foreign to C++
  ~BusError() { sd_bus_error_free(&e); }
};

class BusConnection final : public ServiceConnection {
 public:
  explicit BusConnection(sd_bus* bus) : bus_(bus) {}
  ~BusConnection() override { sd_bus_flush_close_unref(bus_); }

  Answer Call(const Request& request) override {
    const RequestInfo& info = InfoOf(request.kind);
    BusReply call, reply;
    BusError error;
    int r =
        sd_bus_message_new_method_call(bus_, &call.m, kBusName, kBusPath, kBusInterface, info.name);
    if (r >= 0) r = AppendRequest(call.m, request);
    if (r >= 0) {
      r = sd_bus_call(bus_, call.m, info.atOnce ? kReadTimeoutMicros : kWorkTimeoutMicros, &error.e,
                      &reply.m);
    }
    if (r < 0) {
      return Answer::Refused(ErrorKindOfBus(error.e),
                             error.e.message != nullptr ? error.e.message : std::strerror(-r));
    }
    Answer answer;
    if (ReadAnswer(reply.m, request.kind, answer) < 0) {
      return Answer::Refused(ErrorKind::kFailed, "the service's answer could not be read");
    }
    return answer;
  }

 private:
  sd_bus* bus_;
};

}  // namespace

std::unique_ptr<ServiceConnection> ConnectToService(std::string* why) {
  const auto none = [why](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return nullptr;
  };
  sd_bus* bus = nullptr;
  if (const int r = sd_bus_open_system(&bus); r < 0) {
    return none(std::string("no service runs: the system bus cannot be reached (") +
                std::strerror(-r) + ")");
  }
  // Every call without a timeout of its own: a service that hangs fails a question in 5 s.
  sd_bus_set_method_call_timeout(bus, kReadTimeoutMicros);
  BusError error;
  BusReply reply;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error.e, &reply.m, "s",
                         kBusName) < 0 ||
      sd_bus_message_read(reply.m, "b", &owned) < 0 || !owned) {
    sd_bus_flush_close_unref(bus);
    return none(std::string("no service runs: ") + kBusName + " has no owner on the system bus");
  }
  // Lets polkit ask for an administrator's password where an agent runs.
  sd_bus_set_allow_interactive_authorization(bus, 1);
  return std::make_unique<BusConnection>(bus);
}

}  // namespace horalign
