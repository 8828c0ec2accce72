#include "control/posix/service_bus_link.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "control/posix/bus_codec.h"
#include "control/posix/bus_names.h"
#include "control/window_requests.h"

namespace horalign {
namespace {

// Reading the rows or the settings: the service answers those between its device steps.
constexpr std::uint64_t kReadTimeoutMicros = 5'000'000;
// A device operation waits for those queued before it, and polkit may ask for a password.
constexpr std::uint64_t kWorkTimeoutMicros = 300'000'000;

using Done = std::function<void(const std::string& problem)>;

struct Pending {
  ServiceBusLink* link;
  Done done;
};

constexpr const char* kDriver = "org.freedesktop.DBus";
constexpr const char* kDriverPath = "/org/freedesktop/DBus";

// Only the bus itself says who owns a name. A match on its sender does not keep out a peer
// that sends the same signal to this connection alone: sd-bus cannot tell a well-known
// sender from a unique one, and lets it through.
bool FromTheBus(sd_bus_message* m) {
  const char* sender = sd_bus_message_get_sender(m);
  const char* path = sd_bus_message_get_path(m);
  return sender != nullptr && path != nullptr && std::strcmp(sender, kDriver) == 0 &&
         std::strcmp(path, kDriverPath) == 0;
}

std::string Problem(sd_bus_message* m) {
  const sd_bus_error* error = sd_bus_message_get_error(m);
  if (error == nullptr) return "";
  if (error->message != nullptr && *error->message != '\0') return error->message;
  return error->name != nullptr ? error->name : "the service did not do it";
}

// Sends `call` and hands its answer to `userdata`'s handler; the bus frees the slot, and the
// destroy callback what it carries, when the answer is in or the bus goes.
template <typename Data>
int SendAsync(sd_bus* bus, sd_bus_message* call, sd_bus_message_handler_t handler, Data* data,
              std::uint64_t timeoutMicros) {
  sd_bus_slot* slot = nullptr;
  const int r = sd_bus_call_async(bus, &slot, call, handler, data, timeoutMicros);
  if (r < 0) {
    delete data;
    return r;
  }
  sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Data*>(p); });
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  return r;
}

}  // namespace

std::unique_ptr<ServiceBusLink> ServiceBusLink::Connect() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  // A bus that does not answer delays the window's start by this much at most.
  sd_bus_set_method_call_timeout(bus, kReadTimeoutMicros);
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  const char* owner = nullptr;
  std::string unique;
  // A name without an owner answers NameHasNoOwner: no service runs.
  if (sd_bus_call_method(bus, kDriver, kDriverPath, kDriver, "GetNameOwner", &error, &reply, "s",
                         kBusName) >= 0 &&
      sd_bus_message_read(reply, "s", &owner) >= 0) {
    unique = owner;
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (unique.empty()) {
    sd_bus_flush_close_unref(bus);
    return nullptr;
  }
  // Lets polkit ask for an administrator's password where an agent runs.
  sd_bus_set_allow_interactive_authorization(bus, 1);
  return std::unique_ptr<ServiceBusLink>(new ServiceBusLink(bus, std::move(unique)));
}

ServiceBusLink::ServiceBusLink(sd_bus* bus, std::string owner)
    : bus_(bus), owner_(std::move(owner)) {}

ServiceBusLink::~ServiceBusLink() {
  sd_bus_slot_unref(signals_);
  sd_bus_slot_unref(ownerSignals_);
  // The pending calls' slots go with the bus, and what they carry with them.
  sd_bus_flush_close_unref(bus_);
}

int ServiceBusLink::Fd() const {
  return sd_bus_get_fd(bus_);
}

void ServiceBusLink::Process() {
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
}

int ServiceBusLink::TimeoutMs() const {
  std::uint64_t due = 0;
  if (sd_bus_get_timeout(bus_, &due) <= 0 || due == UINT64_MAX) return -1;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  return due <= nowUs ? 0 : static_cast<int>((due - nowUs + 999) / 1000);
}

void ServiceBusLink::Watch(Listener listener) {
  listener_ = std::move(listener);
  sd_bus_slot_unref(std::exchange(signals_, nullptr));
  sd_bus_slot_unref(std::exchange(ownerSignals_, nullptr));
  if (!listener_.row) return;
  // Every signal of the interface and the name's changes of owner: the sender is checked
  // here, since anyone on the bus may send a signal with the service's path.
  sd_bus_add_match(bus_, &ownerSignals_,
                   "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                   "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                   "arg0='com.quorvane.Horalign1'",
                   OnSignal, this);
  sd_bus_add_match(bus_, &signals_, "type='signal',interface='com.quorvane.Horalign1'", OnSignal,
                   this);
  ReadAll();
}

void ServiceBusLink::ReadAll() {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus_, &call, kBusName, kBusPath, kBusInterface, "GetPorts") >=
      0) {
    SendAsync(bus_, call, OnPorts, new Pending{this, {}}, kReadTimeoutMicros);
  }
  sd_bus_message_unref(call);
  call = nullptr;
  if (sd_bus_message_new_method_call(bus_, &call, kBusName, kBusPath, kBusInterface,
                                     "GetSettings") >= 0) {
    SendAsync(bus_, call, OnSettings, new Pending{this, {}}, kReadTimeoutMicros);
  }
  sd_bus_message_unref(call);
  sd_bus_flush(bus_);
}

int ServiceBusLink::OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* link = static_cast<ServiceBusLink*>(userdata);
  if (!link->listener_.row) return 0;
  if (sd_bus_message_is_signal(m, kDriver, "NameOwnerChanged")) {
    link->OnOwnerChanged(m);
    return 0;
  }
  const char* sender = sd_bus_message_get_sender(m);
  if (sender == nullptr || link->owner_ != sender) return 0;
  if (sd_bus_message_is_signal(m, kBusInterface, "SettingsChanged")) {
    link->Settings(m);
    return 0;
  }
  if (!sd_bus_message_is_signal(m, kBusInterface, "PortChanged")) return 0;
  ServiceRow row;
  if (ReadRow(m, row) > 0) link->listener_.row(row);
  return 0;
}

void ServiceBusLink::OnOwnerChanged(sd_bus_message* m) {
  const char* name = "";
  if (!FromTheBus(m) || sd_bus_message_read(m, "s", &name) < 0 ||
      std::strcmp(name, kBusName) != 0) {
    return;
  }
  // The signal says only that something changed: the bus is asked who owns the name now,
  // and its answer is what the window goes by.
  AskOwner();
}

void ServiceBusLink::AskOwner() {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus_, &call, kDriver, kDriverPath, kDriver, "GetNameOwner") >=
          0 &&
      sd_bus_message_append(call, "s", kBusName) >= 0) {
    SendAsync(bus_, call, OnOwner, new Pending{this, {}}, kReadTimeoutMicros);
  }
  sd_bus_message_unref(call);
  sd_bus_flush(bus_);
}

int ServiceBusLink::OnOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
  ServiceBusLink* link = static_cast<Pending*>(userdata)->link;
  const char* owner = "";
  if (sd_bus_message_is_method_error(m, nullptr)) {
    // Only "no owner" says the service went; a bus that did not answer says nothing.
    if (!sd_bus_message_is_method_error(m, "org.freedesktop.DBus.Error.NameHasNoOwner")) return 0;
  } else if (sd_bus_message_read(m, "s", &owner) < 0) {
    return 0;
  }
  link->SetOwner(owner);
  return 0;
}

void ServiceBusLink::SetOwner(const std::string& owner) {
  // A stop and a start answered both with the new owner make one change.
  if (owner == owner_ || !listener_.row) return;
  owner_ = owner;
  if (owner_.empty()) {
    if (listener_.availability) listener_.availability(false, "the service has stopped");
    return;
  }
  if (listener_.availability) listener_.availability(true, "");
  ReadAll();
}

int ServiceBusLink::OnPorts(sd_bus_message* m, void* userdata, sd_bus_error*) {
  ServiceBusLink* link = static_cast<Pending*>(userdata)->link;
  Answer answer;
  if (sd_bus_message_is_method_error(m, nullptr) || !link->listener_.row ||
      ReadAnswer(m, RequestKind::kGetPorts, answer) < 0) {
    return 0;
  }
  for (const ServiceRow& row : answer.rows) link->listener_.row(row);
  return 0;
}

int ServiceBusLink::OnSettings(sd_bus_message* m, void* userdata, sd_bus_error*) {
  ServiceBusLink* link = static_cast<Pending*>(userdata)->link;
  if (!sd_bus_message_is_method_error(m, nullptr)) link->Settings(m);
  return 0;
}

void ServiceBusLink::Settings(sd_bus_message* m) {
  ServiceSettingsRead s;
  if (listener_.settings && ReadSettings(m, s) >= 0) listener_.settings(WindowSettings(s));
}

void ServiceBusLink::Ask(const ServiceRequest& request, Done done) {
  const Request asked = RequestOf(request);
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, kBusName, kBusPath, kBusInterface,
                                         InfoOf(asked.kind).name);
  if (r >= 0) r = AppendRequest(call, asked);
  auto handler = [](sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<Pending*>(userdata)->done(Problem(m));
    return 0;
  };
  if (r >= 0) r = SendAsync(bus_, call, handler, new Pending{this, done}, kWorkTimeoutMicros);
  sd_bus_message_unref(call);
  if (r < 0) {
    done(std::string("the service cannot be asked: ") + std::strerror(-r));
    return;
  }
  sd_bus_flush(bus_);
}

}  // namespace horalign
