// The bus glue and polkit in one place: the table of methods (one handler for all), the
// caller's right, the signals.
#include "control/posix/bus_server.h"

#include <cstring>
#include <type_traits>

#include "control/posix/bus_codec.h"
#include "control/posix/bus_names.h"

namespace horalign {
namespace {

constexpr const char* kAuthority = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
// Long enough to type a password; a caller that never answers is refused then, and until
// then it holds only its own share of the waiting requests.
constexpr std::uint64_t kPolkitTimeoutMicros = 60'000'000;
constexpr int kTimeoutsPollMs = 1000;

#define HORALIGN_METHOD(name, in, out) \
  SD_BUS_METHOD(name, in, out, BusServer::OnMethod, SD_BUS_VTABLE_UNPRIVILEGED)

using Message = std::shared_ptr<sd_bus_message>;

Message Hold(sd_bus_message* m) {
  return Message(sd_bus_message_ref(m), [](sd_bus_message* p) { sd_bus_message_unref(p); });
}

// The caller's user, by the bus's record of the connection; nullopt when it cannot say.
std::optional<uid_t> CallerUid(sd_bus_message* call) {
  sd_bus_creds* creds = nullptr;
  uid_t uid = 0;
  const bool known = sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID, &creds) >= 0 &&
                     sd_bus_creds_get_euid(creds, &uid) >= 0;
  sd_bus_creds_unref(creds);
  return known ? std::optional<uid_t>(uid) : std::nullopt;
}

struct PolkitQuestion {
  Caller::Decided done;
  std::function<void()> answered;
};

int OnPolkitAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const std::unique_ptr<PolkitQuestion> q(static_cast<PolkitQuestion*>(userdata));
  q->answered();
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    q->done(false, std::string("polkit could not be asked: ") +
                       (error->message != nullptr ? error->message : error->name));
    return 0;
  }
  int authorized = 0, challenge = 0;
  if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
    q->done(false, "polkit's answer could not be read");
    return 0;
  }
  q->done(authorized != 0, std::string("not authorized by polkit for ") + kManageAction);
  return 0;
}

}  // namespace

namespace {
const sd_bus_vtable kTable[] = {SD_BUS_VTABLE_START(0),
                                HORALIGN_METHOD("GetPorts", "", "a(issssssbs)"),
                                HORALIGN_METHOD("GetDevices", "", "a(issxddu)"),
                                HORALIGN_METHOD("GetSettings", "", "iaiibbs"),
                                HORALIGN_METHOD("Update", "i", "ssi"),
                                HORALIGN_METHOD("UpdateAll", "", "a(issi)"),
                                HORALIGN_METHOD("Read", "ib", "sxs"),
                                HORALIGN_METHOD("Rescan", "", ""),
                                HORALIGN_METHOD("Reload", "", ""),
                                HORALIGN_METHOD("SetMode", "i", ""),
                                HORALIGN_METHOD("SetActivePorts", "ai", ""),
                                HORALIGN_METHOD("SetInterval", "i", ""),
                                HORALIGN_METHOD("SetPushOnTimeChange", "b", ""),
                                HORALIGN_METHOD("SetVerifyWrites", "b", ""),
                                HORALIGN_METHOD("SetPortPath", "is", ""),
                                HORALIGN_METHOD("UpdateForced", "i", "ssi"),
                                HORALIGN_METHOD("GetPcClock", "", kPcClockSignature),
                                HORALIGN_METHOD("SetPushOnlyWhenSynchronized", "b", ""),
                                HORALIGN_METHOD("SetMaxClockError", "d", ""),
                                HORALIGN_METHOD("SetFeedTimeDaemon", "b", ""),
                                HORALIGN_METHOD("SetTimeDaemonSocket", "s", ""),
                                SD_BUS_SIGNAL("PortChanged", kRowSignature, 0),
                                SD_BUS_SIGNAL("SettingsChanged", kSettingsSignature, 0),
                                SD_BUS_VTABLE_END};
}  // namespace

BusServer::BusServer(ControlHandler& handler, EventLoop& loop, Warn warn)
    : handler_(handler),
      warn_(std::move(warn)),
      tmrTimeouts_(loop.CreateTimer(kTimeoutsPollMs, false, [this] { Process(); })) {}

BusServer::~BusServer() {
  sd_bus_slot_unref(slot_);
  sd_bus_flush_close_unref(bus_);
}

bool BusServer::Start() {
  int r = sd_bus_open_system(&bus_);
  if (r >= 0) r = sd_bus_add_object_vtable(bus_, &slot_, kBusPath, kBusInterface, kTable, this);
  if (r >= 0) r = sd_bus_request_name(bus_, kBusName, 0);
  if (r < 0) {
    warn_(std::string("the control interface is off: ") + kBusName +
          " could not be taken on the system bus (" + std::strerror(-r) + ")");
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    return false;
  }
  return true;
}

int BusServer::Fd() const {
  return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1;
}

void BusServer::Process() {
  if (bus_ == nullptr) return;
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
  tmrTimeouts_->SetEnabled(asking_ > 0);
}

void BusServer::Flush() {
  if (bus_ != nullptr) sd_bus_flush(bus_);
}

int BusServer::OnMethod(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& server = *static_cast<BusServer*>(userdata);
  const RequestInfo* info = FindRequest(sd_bus_message_get_member(call));
  if (info == nullptr) return -EINVAL;  // the table names only requests
  Request request;
  request.kind = info->kind;
  if (const int r = ReadRequest(call, request); r < 0) return r;
  const std::optional<uid_t> uid = CallerUid(call);
  const Message held = Hold(call);
  Caller caller{uid ? "uid:" + std::to_string(*uid) : sd_bus_message_get_sender(call),
                [&server, held](const Request&, const Caller::Decided& done) {
                  server.Authorize(held.get(), done);
                }};
  server.handler_.Take(request, std::move(caller),
                       [&server, held, kind = info->kind](const Answer& answer) {
                         if (answer.error) {
                           sd_bus_reply_method_errorf(held.get(), BusErrorName(answer.error->kind),
                                                      "%s", answer.error->message.c_str());
                         } else {
                           sd_bus_message* reply = nullptr;
                           if (sd_bus_message_new_method_return(held.get(), &reply) >= 0 &&
                               AppendAnswer(reply, kind, answer) >= 0) {
                             sd_bus_send(nullptr, reply, nullptr);
                           }
                           sd_bus_message_unref(reply);
                         }
                         server.Flush();
                       });
  return 1;
}

// Asks polkit, without waiting for its answer, whether the sender of `call` may manage the
// service. The sender is named by its unique bus name, and its user by the bus's record of
// the connection, never by the message's contents. Root is allowed at once.
void BusServer::Authorize(sd_bus_message* call, const Caller::Decided& done) {
  if (CallerUid(call) == uid_t{0}) return done(true, "");
  const char* sender = sd_bus_message_get_sender(call);
  const std::uint32_t flags =
      sd_bus_message_get_allow_interactive_authorization(call) > 0 ? kAllowUserInteraction : 0;
  sd_bus_message* ask = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &ask, kAuthority, kAuthorityPath,
                                         kAuthorityInterface, "CheckAuthorization");
  if (r >= 0 && sender != nullptr) {
    r = sd_bus_message_append(ask, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", sender,
                              kManageAction, 0, flags, "");
  }
  auto* question = new PolkitQuestion{done, [this] { --asking_; }};
  ++asking_;
  if (r < 0 || sender == nullptr ||
      sd_bus_call_async(bus_, nullptr, ask, OnPolkitAnswer, question, kPolkitTimeoutMicros) < 0) {
    const std::unique_ptr<PolkitQuestion> owned(question);
    --asking_;
    owned->done(false, "polkit could not be asked");
  }
  sd_bus_message_unref(ask);
  tmrTimeouts_->SetEnabled(asking_ > 0);
}

template <typename Value>
void BusServer::Emit(const char* member, const Value& value) {
  if (bus_ == nullptr) return;
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(bus_, &signal, kBusPath, kBusInterface, member);
  if (r >= 0) {
    if constexpr (std::is_same_v<Value, ServiceRow>) {
      r = AppendRow(signal, value);
    } else {
      r = AppendSettings(signal, value);
    }
  }
  if (r >= 0) sd_bus_send(bus_, signal, nullptr);
  sd_bus_message_unref(signal);
  Flush();
}

void BusServer::RowChanged(const ServiceRow& row) {
  Emit("PortChanged", row);
}

void BusServer::SettingsChanged(const ServiceSettingsRead& settings) {
  Emit("SettingsChanged", settings);
}

}  // namespace horalign
